#pragma once

// The statuses the key reports in bits 0-5 of a response's code byte, as the key
// (the test doubles that play it) writes them.

#include <cstdint>

namespace korvene::testing::wire {

inline constexpr uint8_t Success = 0;
inline constexpr uint8_t InvalidCommand = 1;
inline constexpr uint8_t TooLargeData = 2;
inline constexpr uint8_t Busy = 3;
inline constexpr uint8_t HostInternalError = 4;
inline constexpr uint8_t NoEstablishedKey = 5;
inline constexpr uint8_t BadParameter = 6;
inline constexpr uint8_t DeviceInternalError = 7;
inline constexpr uint8_t OperationDenied = 8;
inline constexpr uint8_t InvalidKey = 9;
inline constexpr uint8_t SecureTransactionProhibited = 10;
inline constexpr uint8_t NonsecureTransactionProhibited = 11;
inline constexpr uint8_t TooManySessionsOpened = 12;
inline constexpr uint8_t InvalidSession = 13;
inline constexpr uint8_t DeviceNotInitialized = 14;
inline constexpr uint8_t IncorrectPin = 15;
inline constexpr uint8_t PinNotInitialized = 16;
inline constexpr uint8_t NotLoggedIn = 17;
inline constexpr uint8_t InvalidUser = 18;
inline constexpr uint8_t SessionExists = 19;
inline constexpr uint8_t NotEnoughStorageMemory = 20;
inline constexpr uint8_t InvalidObject = 21;
inline constexpr uint8_t DeviceWriteProtected = 22;
inline constexpr uint8_t PinLocked = 23;

}  // namespace korvene::testing::wire
