#include "device/usb/libusb_device.h"

#include <libusb.h>

#include <memory>

namespace korvene {

namespace {

constexpr uint8_t kTransferTypeMask = 0x03;
constexpr uint8_t kTransferTypeBulk = 0x02;
constexpr uint8_t kDirectionIn = 0x80;

struct ConfigDescriptorFree {
    void operator()(libusb_config_descriptor* config) const {
        libusb_free_config_descriptor(config);
    }
};
// Frees the configuration descriptor also when building the endpoint lists
// runs out of memory.
using ConfigDescriptorPtr = std::unique_ptr<libusb_config_descriptor, ConfigDescriptorFree>;

}  // namespace

LibUsbDevice::~LibUsbDevice() {
    // Named, since a destructor never reaches an override of a derived class.
    LibUsbDevice::close();
}

void LibUsbDevice::close() {
    inEndpoints.clear();
    outEndpoints.clear();
    if (handle != nullptr) {
        libusb_release_interface(handle, interfaceNumber);
        libusb_close(handle);
        handle = nullptr;
    }
}

bool LibUsbDevice::isOpen() const {
    return handle != nullptr;
}

size_t LibUsbDevice::outEndpointCount() const {
    return outEndpoints.size();
}

size_t LibUsbDevice::inEndpointCount() const {
    return inEndpoints.size();
}

uint8_t LibUsbDevice::outEndpointAddress(uint32_t index) const {
    return outEndpoints.at(index).address;
}

uint8_t LibUsbDevice::inEndpointAddress(uint32_t index) const {
    return inEndpoints.at(index).address;
}

bool LibUsbDevice::open(libusb_device* device, uint8_t zlp) {
    return openWithStatus(device, zlp) == UsbOpenResult::Ok;
}

UsbOpenResult LibUsbDevice::openWithStatus(libusb_device* device, uint8_t zlp) {
    close();
    if (device == nullptr) return UsbOpenResult::Failed;

    libusb_device_descriptor deviceDescriptor{};
    int code = libusb_get_device_descriptor(device, &deviceDescriptor);
    if (code < 0) return toUsbOpenResult(code);
    if (deviceDescriptor.bNumConfigurations == 0) return UsbOpenResult::Failed;

    libusb_config_descriptor* rawConfig = nullptr;
    code = libusb_get_config_descriptor(device, 0, &rawConfig);
    if (code < 0) return toUsbOpenResult(code);
    ConfigDescriptorPtr config(rawConfig);

    if (config->bNumInterfaces == 0 || config->interface[0].num_altsetting <= 0) {
        return UsbOpenResult::Failed;
    }
    const int wantedConfiguration = config->bConfigurationValue;
    const libusb_interface_descriptor& setting = config->interface[0].altsetting[0];
    const uint8_t claimedInterface = setting.bInterfaceNumber;

    for (uint8_t i = 0; i < setting.bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[i];
        if ((endpoint.bmAttributes & kTransferTypeMask) != kTransferTypeBulk) continue;
        if ((endpoint.bEndpointAddress & kDirectionIn) != 0) {
            UsbInEndpoint record;
            record.address = endpoint.bEndpointAddress;
            record.zlp = zlp;
            record.maxPacketSize = endpoint.wMaxPacketSize;
            record.buffer.assign(endpoint.wMaxPacketSize, 0);
            inEndpoints.push_back(std::move(record));
        } else {
            UsbOutEndpoint record;
            record.address = endpoint.bEndpointAddress;
            record.zlp = zlp;
            record.maxPacketSize = endpoint.wMaxPacketSize;
            outEndpoints.push_back(record);
        }
    }
    config.reset();

    libusb_device_handle* opened = nullptr;
    code = libusb_open(device, &opened);
    if (code < 0) return toUsbOpenResult(code);
    // Undo of the steps between opening the handle and claiming the interface.
    auto closeAndFail = [opened](int failedCode) {
        libusb_close(opened);
        return toUsbOpenResult(failedCode);
    };

    // Only a positive answer means a bound driver; an unsupported query counts as none.
    if (libusb_kernel_driver_active(opened, claimedInterface) > 0) {
        code = libusb_detach_kernel_driver(opened, claimedInterface);
        if (code < 0) return closeAndFail(code);
    }

    int reportedConfiguration = -1;
    code = libusb_get_configuration(opened, &reportedConfiguration);
    if (code < 0) return closeAndFail(code);
    if (reportedConfiguration != wantedConfiguration) {
        code = libusb_set_configuration(opened, wantedConfiguration);
        if (code < 0) return closeAndFail(code);
    }

    code = libusb_set_auto_detach_kernel_driver(opened, 1);
    if (code < 0) return closeAndFail(code);
    code = libusb_claim_interface(opened, claimedInterface);
    if (code < 0) return closeAndFail(code);

    // Another program may have changed the configuration before the claim.
    code = libusb_get_configuration(opened, &reportedConfiguration);
    if (code < 0 || reportedConfiguration != wantedConfiguration) {
        libusb_release_interface(opened, claimedInterface);
        libusb_close(opened);
        return code < 0 ? toUsbOpenResult(code) : UsbOpenResult::Failed;
    }

    handle = opened;
    interfaceNumber = claimedInterface;
    return UsbOpenResult::Ok;
}

}  // namespace korvene
