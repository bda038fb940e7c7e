#include "device/session/status_code.h"

#include <array>

namespace korvene {
namespace {

// Texts of the members 0..26, in value order.
constexpr std::array<const char*, 27> kStatusNames = {
    "Success",
    "InvalidCommand",
    "ProtocolError",
    "DeviceError",
    "HostInternalError",
    "DeviceInternalError",
    "Busy",
    "BadParameter",
    "TooLargeData",
    "NoEstablishedKey",
    "SecureTransactionProhibited",
    "NonsecureTransactionProhibited",
    "TooManySessionsOpened",
    "InvalidSession",
    "SessionExists",
    "DeviceNotInitialized",
    "IncorrectPin",
    "InvalidUser",
    "PinNotInitialized",
    "NotLoggedIn",
    "OperationDenied",
    "InvalidObject",
    "InvalidKey",
    "NotEnoughStorageMemory",
    "WrongSignature",
    "DeviceWriteProtected",
    "PinLocked",
};

// The key's wire statuses 0..23; 24 and above are DeviceInternalError.
constexpr std::array<StatusCode, 24> kWireStatuses = {
    StatusCode::Success,                         // 0
    StatusCode::InvalidCommand,                  // 1
    StatusCode::TooLargeData,                    // 2
    StatusCode::Busy,                            // 3
    StatusCode::HostInternalError,               // 4
    StatusCode::NoEstablishedKey,                // 5
    StatusCode::BadParameter,                    // 6
    StatusCode::DeviceInternalError,             // 7
    StatusCode::OperationDenied,                 // 8
    StatusCode::InvalidKey,                      // 9
    StatusCode::SecureTransactionProhibited,     // 10
    StatusCode::NonsecureTransactionProhibited,  // 11
    StatusCode::TooManySessionsOpened,           // 12
    StatusCode::InvalidSession,                  // 13
    StatusCode::DeviceNotInitialized,            // 14
    StatusCode::IncorrectPin,                    // 15
    StatusCode::PinNotInitialized,               // 16
    StatusCode::NotLoggedIn,                     // 17
    StatusCode::InvalidUser,                     // 18
    StatusCode::SessionExists,                   // 19
    StatusCode::NotEnoughStorageMemory,          // 20
    StatusCode::InvalidObject,                   // 21
    StatusCode::DeviceWriteProtected,            // 22
    StatusCode::PinLocked,                       // 23
};

}  // namespace

const char* statusName(uint32_t code) {
    if (code >= kStatusNames.size()) return "Unknown status";
    return kStatusNames[code];
}

StatusCode statusFromWire(uint8_t wireStatus) {
    if (wireStatus >= kWireStatuses.size()) return StatusCode::DeviceInternalError;
    return kWireStatuses[wireStatus];
}

}  // namespace korvene
