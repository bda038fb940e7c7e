#pragma once

#include <cstdint>

namespace korvene {

// Host-side result of every session operation. It merges the status the key
// reports in a response header (mapped by statusFromWire) with the host's own
// verdicts on the exchange. Success is the only value that means success.
enum class StatusCode : uint32_t {
    Success = 0,
    InvalidCommand = 1,
    ProtocolError = 2,
    DeviceError = 3,
    HostInternalError = 4,
    DeviceInternalError = 5,
    Busy = 6,
    BadParameter = 7,
    TooLargeData = 8,
    NoEstablishedKey = 9,
    SecureTransactionProhibited = 10,
    NonsecureTransactionProhibited = 11,
    TooManySessionsOpened = 12,
    InvalidSession = 13,
    SessionExists = 14,
    DeviceNotInitialized = 15,
    IncorrectPin = 16,
    InvalidUser = 17,
    PinNotInitialized = 18,
    NotLoggedIn = 19,
    OperationDenied = 20,
    InvalidObject = 21,
    InvalidKey = 22,
    NotEnoughStorageMemory = 23,
    WrongSignature = 24,
    DeviceWriteProtected = 25,
    PinLocked = 26,
};

// Name of a status ("Success" ... "PinLocked"), "Unknown status" above 26.
// Never null; the text is static.
const char* statusName(uint32_t code);
inline const char* statusName(StatusCode code) { return statusName(static_cast<uint32_t>(code)); }

// Maps the 6-bit wire status of a response header to its StatusCode.
StatusCode statusFromWire(uint8_t wireStatus);

}  // namespace korvene
