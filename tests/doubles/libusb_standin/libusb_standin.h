#pragma once

// A scriptable stand-in for the libusb-1.0 functions that device/usb calls.
// A test binary links it instead of the real libusb; the transport's code is
// the same object code as in the product. A test describes devices, scripts
// failures and bulk IN packets, runs the code, and reads back the ordered call
// log, the transfers asked for, the reference counts and every misuse seen.
//
//   auto& usb = LibUsbStandin::instance();
//   usb.reset();
//   const int key = usb.addDevice(keyDeviceSpec());       // OUT 0x01, IN 0x81, 64 bytes
//   usb.failCall(LibUsbCall::ClaimInterface, LIBUSB_ERROR_BUSY);
//   usb.queueInPacket(key, 0x81, bytes);                  // {} is a zero-length packet
//   device.openWithStatus(usb.device(key), 0);
//   EXPECT_EQ(usb.callSequence(), (std::vector<LibUsbCall>{...}));
//   EXPECT_TRUE(usb.misuses().empty());
//
// Devices are numbered by addDevice from 0. Nothing is thread-safe.

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "device/usb/key_usb_identity.h"

namespace korvene::testing {

// The libusb functions the stand-in defines, one member each.
enum class LibUsbCall {
    Init,                       // libusb_init
    Exit,                       // libusb_exit
    GetDeviceList,              // libusb_get_device_list
    FreeDeviceList,             // libusb_free_device_list
    RefDevice,                  // libusb_ref_device
    UnrefDevice,                // libusb_unref_device
    GetDeviceDescriptor,        // libusb_get_device_descriptor
    GetConfigDescriptor,        // libusb_get_config_descriptor
    FreeConfigDescriptor,       // libusb_free_config_descriptor
    Open,                       // libusb_open
    Close,                      // libusb_close
    KernelDriverActive,         // libusb_kernel_driver_active
    DetachKernelDriver,         // libusb_detach_kernel_driver
    GetConfiguration,           // libusb_get_configuration
    SetConfiguration,           // libusb_set_configuration
    SetAutoDetachKernelDriver,  // libusb_set_auto_detach_kernel_driver
    ClaimInterface,             // libusb_claim_interface
    ReleaseInterface,           // libusb_release_interface
    BulkTransfer,               // libusb_bulk_transfer
    ControlTransfer,            // libusb_control_transfer
    ClearHalt,                  // libusb_clear_halt
};

// The libusb function's name, e.g. "libusb_open".
const char* callName(LibUsbCall call);
std::ostream& operator<<(std::ostream& out, LibUsbCall call);

struct EndpointSpec {
    uint8_t address = 0;                               // bit 7 set: IN
    uint8_t attributes = LIBUSB_TRANSFER_TYPE_BULK;    // bmAttributes; bits 0-1 the transfer type
    uint16_t maxPacketSize = 64;                       // wMaxPacketSize
};

struct InterfaceSpec {
    uint8_t number = 0;                                // bInterfaceNumber of every setting
    std::vector<std::vector<EndpointSpec>> altSettings;  // endpoints of settings 0, 1, ...
};

struct ConfigSpec {
    uint8_t value = 1;                                 // bConfigurationValue
    std::vector<InterfaceSpec> interfaces;
};

struct DeviceSpec {
    uint16_t vendorId = kKeyVendorId;
    uint16_t productId = kKeyProductId;
    std::vector<ConfigSpec> configs;     // bNumConfigurations is their number
    int configuration = 1;               // libusb_get_configuration until set; 0 unconfigured
    int configurationAfterClaim = -1;    // 0 or more: reported instead once an interface is claimed
    bool kernelDriver = false;           // a kernel driver is bound until detached
};

// A key as the transport expects it: one configuration (value 1), interface 0,
// setting 0 with bulk OUT 0x01 and bulk IN 0x81 of `maxPacketSize` bytes.
DeviceSpec keyDeviceSpec(uint16_t maxPacketSize = 64);

// One libusb call. `argument` is the call's main scalar: the configuration
// index or value, the interface, the endpoint, bmRequestType of a control
// transfer, the enable flag of auto-detach, the unref flag of a list free; 0
// otherwise. `result` is the value returned (0 for the void functions).
struct CallRecord {
    LibUsbCall call;
    int device;  // index of the device concerned, -1 for none
    int argument;
    int result;
};

struct BulkTransferRecord {
    int device;
    uint8_t endpoint;
    int length;                 // bytes asked for
    int transferred;            // bytes moved
    int result;                 // libusb code returned
    unsigned int timeout;       // milliseconds handed over
    std::vector<uint8_t> data;  // the bytes of an OUT transfer as asked; empty for IN
};

struct ControlTransferRecord {
    int device;
    uint8_t requestType;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
    unsigned int timeout;
    int result;
};

class LibUsbStandin {
public:
    // For failCall: fail every matching call from the nth on.
    static constexpr int kEveryCall = -1;

    // The one stand-in behind the libusb functions of this binary.
    static LibUsbStandin& instance();

    // Forgets every device, script, log and count.
    void reset();

    // Describes a device; it appears in every later device list until unplugged.
    int addDevice(DeviceSpec spec);
    // Gone from later device lists; opening it and every call on its handles
    // give LIBUSB_ERROR_NO_DEVICE. References stay valid.
    void unplug(int device);
    // The libusb_device of a described device, to open it without a list.
    libusb_device* device(int device);

    // The nth call of `call` from now returns `code`, and `times` - 1 calls
    // after it too (kEveryCall: all of them). A failed call has no effect.
    // Rules for one function apply in the order they were armed.
    void failCall(LibUsbCall call, int code, int nth = 1, int times = 1);
    // The nth bulk OUT transfer from now moves only `transferred` bytes.
    void shortenOutTransfer(int transferred, int nth = 1);

    // Bulk IN: each transfer takes packets from the endpoint's queue until it
    // is full or a packet shorter than the endpoint's wMaxPacketSize (a
    // zero-length one included) ends it. A packet longer than the room left
    // gives LIBUSB_ERROR_OVERFLOW; an empty queue gives LIBUSB_ERROR_TIMEOUT
    // (a key that does not answer), with the bytes taken so far.
    void queueInPacket(int device, uint8_t endpoint, std::vector<uint8_t> packet);
    size_t pendingInPackets(int device, uint8_t endpoint) const;
    // The next control transfer returns `result` and, device to host, gets
    // `data` (at most wLength bytes). Without a reply queued it succeeds with
    // wLength bytes, zeros when device to host.
    void queueControlReply(int result, std::vector<uint8_t> data = {});

    const std::vector<CallRecord>& calls() const;
    std::vector<LibUsbCall> callSequence() const;  // the functions of calls(), in order
    size_t callCount(LibUsbCall call) const;
    const std::vector<BulkTransferRecord>& bulkTransfers() const;
    const std::vector<ControlTransferRecord>& controlTransfers() const;
    // Empties the call and transfer logs; devices, scripts and counts stay.
    void clearLog();
    // Whether OUT records copy their bytes (on after reset). Copying is the
    // only allocation of a recorded transfer while the logs have room (4096
    // entries each); switch it off where a test counts allocations.
    void recordOutData(bool on);

    // References the code holds on a device: device lists, libusb_ref_device,
    // open handles, minus the releases.
    int referenceCount(int device) const;
    size_t openHandleCount() const;
    // Device lists and configuration descriptors handed out and not freed.
    size_t outstandingAllocations() const;
    // Every misuse seen: a call after libusb_exit, a call on a null or closed
    // handle, a double free, an unref without a reference.
    const std::vector<std::string>& misuses() const;

private:
    LibUsbStandin() = default;
};

}  // namespace korvene::testing
