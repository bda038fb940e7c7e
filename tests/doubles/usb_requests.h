#pragma once

// The control requests the key's doubles understand, and a base for a double
// that answers the standard status requests through its own control transfer,
// as a real device does.

#include <cstdint>

#include "device/usb/kv_usb_device.h"

namespace korvene::testing {

namespace usb {
// bmRequestType values.
inline constexpr uint8_t ClassInterfaceOut = 0x21;
inline constexpr uint8_t StandardEndpointOut = 0x02;
inline constexpr uint8_t StandardDeviceIn = 0x80;
inline constexpr uint8_t StandardInterfaceIn = 0x81;
inline constexpr uint8_t StandardEndpointIn = 0x82;
inline constexpr uint8_t DirectionIn = 0x80;
// bRequest values.
inline constexpr uint8_t GetStatus = 0x00;
inline constexpr uint8_t ClearFeature = 0x01;
inline constexpr uint8_t ClassReset = 0xFF;  // the key's interface reset
// wValue of CLEAR_FEATURE for an endpoint halt.
inline constexpr uint16_t EndpointHaltFeature = 0x00;
// Bit 0 of an endpoint's GET_STATUS answer.
inline constexpr uint8_t EndpointHalted = 0x01;
}  // namespace usb

class StandardRequestsDevice : public KvUsbDevice {
public:
    bool getEndpointStatus(uint8_t endpoint, uint8_t* status) override {
        return controlTransfer(usb::StandardEndpointIn, usb::GetStatus, 0, endpoint, 2, status);
    }
    bool getInterfaceStatus(uint8_t interfaceNumber, uint8_t* status) override {
        return controlTransfer(usb::StandardInterfaceIn, usb::GetStatus, 0, interfaceNumber, 2, status);
    }
    bool getUsbDeviceStatus(uint8_t* status) override {
        return controlTransfer(usb::StandardDeviceIn, usb::GetStatus, 0, 0, 2, status);
    }
    bool isEndpointHalted(uint8_t address) override {
        uint8_t status[2] = {};
        return getEndpointStatus(address, status) && (status[0] & usb::EndpointHalted) != 0;
    }
};

}  // namespace korvene::testing
