// The status names and the one mapping from the key's wire status.
#include "device/session/status_code.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace korvene {
namespace {

TEST(StatusName, EveryMemberHasItsOwnNameInValueOrder) {
    const char* const expected[] = {
        "Success", "InvalidCommand", "ProtocolError", "DeviceError", "HostInternalError",
        "DeviceInternalError", "Busy", "BadParameter", "TooLargeData", "NoEstablishedKey",
        "SecureTransactionProhibited", "NonsecureTransactionProhibited", "TooManySessionsOpened",
        "InvalidSession", "SessionExists", "DeviceNotInitialized", "IncorrectPin", "InvalidUser",
        "PinNotInitialized", "NotLoggedIn", "OperationDenied", "InvalidObject", "InvalidKey",
        "NotEnoughStorageMemory", "WrongSignature", "DeviceWriteProtected", "PinLocked",
    };
    std::set<std::string> seen;
    for (uint32_t value = 0; value < 27; ++value) {
        EXPECT_STREQ(statusName(value), expected[value]) << "value " << value;
        seen.insert(statusName(value));
    }
    EXPECT_EQ(seen.size(), 27u);
    EXPECT_STREQ(statusName(StatusCode::PinLocked), "PinLocked");
}

TEST(StatusName, ValuesAbove26AreUnknownStatus) {
    for (uint32_t value : {27u, 28u, 255u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(statusName(value), "Unknown status") << "value " << value;
    }
    EXPECT_STREQ(statusName(static_cast<uint32_t>(-1)), "Unknown status");
}

TEST(StatusFromWire, MapsEveryWireStatusAsTheKeyDefinesThem) {
    const StatusCode expected[24] = {
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
    for (uint8_t wire = 0; wire < 64; ++wire) {
        const StatusCode want = wire < 24 ? expected[wire] : StatusCode::DeviceInternalError;
        EXPECT_EQ(statusFromWire(wire), want) << "wire status " << int(wire);
    }
}

}  // namespace
}  // namespace korvene
