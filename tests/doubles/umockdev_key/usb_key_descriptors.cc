#include "tests/doubles/umockdev_key/usb_key_descriptors.h"

#include <cstddef>

#include "device/usb/key_usb_identity.h"
#include "tests/doubles/virtual_key/virtual_key.h"

namespace korvene::testing {
namespace {

constexpr uint8_t kDeviceDescriptorType = 1;
constexpr uint8_t kConfigurationDescriptorType = 2;
constexpr uint8_t kInterfaceDescriptorType = 4;
constexpr uint8_t kEndpointDescriptorType = 5;
constexpr uint8_t kDeviceDescriptorSize = 18;
constexpr uint8_t kConfigurationDescriptorSize = 9;
constexpr uint8_t kInterfaceDescriptorSize = 9;
constexpr uint8_t kEndpointDescriptorSize = 7;
constexpr uint8_t kBulk = 2;
constexpr uint8_t kVendorSpecificClass = 0xFF;
constexpr uint8_t kControlPacketSize = 64;
constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kBusPowered = 0x80;
constexpr uint8_t kMaxPower100mA = 50;  // in units of 2 mA

void putLe16(std::vector<uint8_t>& to, uint16_t value) {
    to.push_back(static_cast<uint8_t>(value & 0xFF));
    to.push_back(static_cast<uint8_t>(value >> 8));
}

void putEndpoint(std::vector<uint8_t>& to, uint8_t address) {
    to.insert(to.end(), {kEndpointDescriptorSize, kEndpointDescriptorType, address, kBulk});
    putLe16(to, kVirtualMaxPacket);
    to.push_back(0);  // bInterval: unused for bulk endpoints
}

}  // namespace

std::vector<uint8_t> keyDescriptors(const VirtualKey& key) {
    const std::vector<uint8_t>& outs = key.state.outEndpoints;
    const std::vector<uint8_t>& ins = key.state.inEndpoints;
    const size_t endpoints = outs.size() + ins.size();

    std::vector<uint8_t> bytes;
    bytes.insert(bytes.end(), {kDeviceDescriptorSize, kDeviceDescriptorType});
    putLe16(bytes, 0x0200);  // USB 2.0
    bytes.insert(bytes.end(), {0, 0, 0, kControlPacketSize});
    putLe16(bytes, kKeyVendorId);
    putLe16(bytes, kKeyProductId);
    putLe16(bytes, 0x0100);  // device release 1.00
    bytes.insert(bytes.end(), {0, 0, 0, 1});  // no strings, one configuration

    const uint16_t total = static_cast<uint16_t>(kConfigurationDescriptorSize + kInterfaceDescriptorSize +
                                                 endpoints * kEndpointDescriptorSize);
    bytes.insert(bytes.end(), {kConfigurationDescriptorSize, kConfigurationDescriptorType});
    putLe16(bytes, total);
    bytes.insert(bytes.end(), {1, kConfigurationValue, 0, kBusPowered, kMaxPower100mA});

    bytes.insert(bytes.end(), {kInterfaceDescriptorSize, kInterfaceDescriptorType, 0, 0,
                               static_cast<uint8_t>(endpoints), kVendorSpecificClass, 0, 0, 0});
    for (uint8_t address : outs) {
        putEndpoint(bytes, address);
    }
    for (uint8_t address : ins) {
        putEndpoint(bytes, address);
    }
    return bytes;
}

std::string upperHex(const std::vector<uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

}  // namespace korvene::testing
