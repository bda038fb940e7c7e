// The libusb-1.0 functions that device/usb calls, answered from the stand-in's
// state. The prototypes come from the real <libusb.h>, so a signature that
// drifts from libusb's does not compile.
#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "tests/doubles/libusb_standin/libusb_standin_state.h"

namespace korvene::testing::standin {
namespace {

void misuse(LibUsbCall call, const std::string& what) {
    state().misuses.push_back(std::string(callName(call)) + ": " + what);
}

// Logs the call and returns its entry, to which finish() adds the result.
size_t begin(LibUsbCall call, int device, int argument) {
    State& s = state();
    if (s.lifecycle == Lifecycle::Exited && call != LibUsbCall::Init) {
        misuse(call, "called after libusb_exit");
    }
    s.calls.push_back({call, device, argument, 0});
    return s.calls.size() - 1;
}

int finish(size_t entry, int result) {
    state().calls[entry].result = result;
    return result;
}

// The code of the failure rule that fires on this call, if one does.
std::optional<int> injectedFailure(LibUsbCall call) {
    std::optional<int> code;
    for (FailureRule& rule : state().failures) {
        if (rule.call != call || rule.times == 0) continue;
        if (rule.skip > 0) {
            --rule.skip;
            continue;
        }
        if (code) continue;
        code = rule.code;
        if (rule.times != LibUsbStandin::kEveryCall) --rule.times;
    }
    return code;
}

// The bytes the next OUT transfer moves when a short write fires on it.
std::optional<int> injectedShortWrite() {
    std::optional<int> transferred;
    for (ShortWriteRule& rule : state().shortWrites) {
        if (rule.skip < 0) continue;  // fired already
        if (rule.skip > 0) {
            --rule.skip;
        } else if (!transferred) {
            transferred = rule.transferred;
            rule.skip = -1;
        }
    }
    return transferred;
}

DeviceState* deviceOf(libusb_device* device, LibUsbCall call) {
    if (device == nullptr) {
        misuse(call, "null device");
        return nullptr;
    }
    for (DeviceState& candidate : state().devices) {
        if (&candidate.usb == device) return &candidate;
    }
    misuse(call, "device the stand-in did not hand out");
    return nullptr;
}

int indexOf(libusb_device* device) {
    for (const DeviceState& candidate : state().devices) {
        if (&candidate.usb == device) return candidate.usb.index;
    }
    return -1;
}

int indexOf(libusb_device_handle* handle) {
    for (const libusb_device_handle& candidate : state().handles) {
        if (&candidate == handle) return candidate.device;
    }
    return -1;
}

// The handle's device when the handle is one the stand-in opened and has not
// closed; null (with the misuse noted) otherwise.
DeviceState* deviceOf(libusb_device_handle* handle, LibUsbCall call) {
    if (handle == nullptr) {
        misuse(call, "null handle");
        return nullptr;
    }
    const int index = indexOf(handle);
    if (index < 0) {
        misuse(call, "handle the stand-in did not open");
        return nullptr;
    }
    if (!handle->open) {
        misuse(call, "handle already closed");
        return nullptr;
    }
    return &state().devices[static_cast<size_t>(index)];
}

// The common start of a call on a handle: the logged entry, and either the
// code to return at once or the device to act on.
struct HandleCall {
    size_t entry;
    DeviceState* device;
    std::optional<int> early;
};

HandleCall beginOnHandle(LibUsbCall call, libusb_device_handle* handle, int argument) {
    HandleCall started{begin(call, indexOf(handle), argument), nullptr, std::nullopt};
    started.device = deviceOf(handle, call);
    if (started.device == nullptr) {
        started.early = handle == nullptr ? LIBUSB_ERROR_INVALID_PARAM : LIBUSB_ERROR_NO_DEVICE;
    } else if (auto code = injectedFailure(call)) {
        started.early = *code;
    } else if (!started.device->plugged) {
        started.early = LIBUSB_ERROR_NO_DEVICE;
    }
    return started;
}

bool isClaimed(const libusb_device_handle& handle, int interfaceNumber) {
    return std::find(handle.claimed.begin(), handle.claimed.end(), interfaceNumber) !=
           handle.claimed.end();
}

// wMaxPacketSize of the endpoint in any configuration and setting; 0 if none has it.
int maxPacketSizeOf(const DeviceSpec& spec, uint8_t address) {
    for (const ConfigSpec& config : spec.configs) {
        for (const InterfaceSpec& interface : config.interfaces) {
            for (const auto& setting : interface.altSettings) {
                for (const EndpointSpec& endpoint : setting) {
                    if (endpoint.address == address) return endpoint.maxPacketSize;
                }
            }
        }
    }
    return 0;
}

std::unique_ptr<ConfigCopy> copyConfig(const ConfigSpec& spec) {
    auto copy = std::make_unique<ConfigCopy>();
    const size_t interfaceCount = spec.interfaces.size();
    copy->interfaces.resize(interfaceCount);
    copy->settings.resize(interfaceCount);
    copy->endpoints.resize(interfaceCount);
    for (size_t i = 0; i < interfaceCount; ++i) {
        const InterfaceSpec& interface = spec.interfaces[i];
        const size_t settingCount = interface.altSettings.size();
        copy->settings[i].resize(settingCount);
        copy->endpoints[i].resize(settingCount);
        for (size_t a = 0; a < settingCount; ++a) {
            auto& endpoints = copy->endpoints[i][a];
            for (const EndpointSpec& endpoint : interface.altSettings[a]) {
                libusb_endpoint_descriptor descriptor{};
                descriptor.bLength = LIBUSB_DT_ENDPOINT_SIZE;
                descriptor.bDescriptorType = LIBUSB_DT_ENDPOINT;
                descriptor.bEndpointAddress = endpoint.address;
                descriptor.bmAttributes = endpoint.attributes;
                descriptor.wMaxPacketSize = endpoint.maxPacketSize;
                endpoints.push_back(descriptor);
            }
            libusb_interface_descriptor& setting = copy->settings[i][a];
            setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
            setting.bDescriptorType = LIBUSB_DT_INTERFACE;
            setting.bInterfaceNumber = interface.number;
            setting.bAlternateSetting = static_cast<uint8_t>(a);
            setting.bNumEndpoints = static_cast<uint8_t>(endpoints.size());
            setting.endpoint = endpoints.empty() ? nullptr : endpoints.data();
        }
        copy->interfaces[i].altsetting = copy->settings[i].empty() ? nullptr
                                                                   : copy->settings[i].data();
        copy->interfaces[i].num_altsetting = static_cast<int>(settingCount);
    }
    copy->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    copy->config.bDescriptorType = LIBUSB_DT_CONFIG;
    copy->config.bNumInterfaces = static_cast<uint8_t>(interfaceCount);
    copy->config.bConfigurationValue = spec.value;
    copy->config.interface = copy->interfaces.empty() ? nullptr : copy->interfaces.data();
    return copy;
}

// Fills an IN transfer from the endpoint's packet queue.
int servePackets(DeviceState& device, uint8_t endpoint, unsigned char* data, int length,
                 int* transferred) {
    const int packetSize = maxPacketSizeOf(device.spec, endpoint);
    const auto queued = device.inPackets.find(endpoint);
    int got = 0;
    do {
        if (queued == device.inPackets.end() || queued->second.empty()) {
            *transferred = got;
            return LIBUSB_ERROR_TIMEOUT;
        }
        const std::vector<uint8_t> packet = std::move(queued->second.front());
        queued->second.pop_front();
        const int size = static_cast<int>(packet.size());
        const int fits = std::min(size, length - got);
        if (fits > 0) std::memcpy(data + got, packet.data(), static_cast<size_t>(fits));
        got += fits;
        if (fits < size) {
            *transferred = got;
            return LIBUSB_ERROR_OVERFLOW;
        }
        if (size < packetSize) break;
    } while (got < length);
    *transferred = got;
    return 0;
}

}  // namespace
}  // namespace korvene::testing::standin

using korvene::testing::BulkTransferRecord;
using korvene::testing::DeviceSpec;
using korvene::testing::LibUsbCall;
using korvene::testing::LibUsbStandin;
using namespace korvene::testing::standin;

extern "C" {

int libusb_init(libusb_context** ctx) {
    const size_t entry = begin(LibUsbCall::Init, -1, 0);
    if (auto code = injectedFailure(LibUsbCall::Init)) return finish(entry, *code);
    state().lifecycle = Lifecycle::Running;
    if (ctx != nullptr) *ctx = &state().context;
    return finish(entry, 0);
}

void libusb_exit(libusb_context*) {
    begin(LibUsbCall::Exit, -1, 0);
    state().lifecycle = Lifecycle::Exited;
}

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
    const size_t entry = begin(LibUsbCall::GetDeviceList, -1, 0);
    if (auto code = injectedFailure(LibUsbCall::GetDeviceList)) return finish(entry, *code);
    auto listed = std::make_unique<std::vector<libusb_device*>>();
    for (DeviceState& device : state().devices) {
        if (!device.plugged) continue;
        ++device.references;
        listed->push_back(&device.usb);
    }
    const int count = static_cast<int>(listed->size());
    listed->push_back(nullptr);
    *list = listed->data();
    state().deviceLists.push_back(std::move(listed));
    return finish(entry, count);
}

void libusb_free_device_list(libusb_device** list, int unref_devices) {
    begin(LibUsbCall::FreeDeviceList, -1, unref_devices);
    if (list == nullptr) return;
    auto& lists = state().deviceLists;
    const auto found = std::find_if(lists.begin(), lists.end(),
                                    [list](const auto& held) { return held->data() == list; });
    if (found == lists.end()) {
        misuse(LibUsbCall::FreeDeviceList, "list the stand-in did not hand out, or freed twice");
        return;
    }
    if (unref_devices != 0) {
        for (libusb_device** entry = list; *entry != nullptr; ++entry) {
            --state().devices[static_cast<size_t>((*entry)->index)].references;
        }
    }
    lists.erase(found);
}

libusb_device* libusb_ref_device(libusb_device* dev) {
    begin(LibUsbCall::RefDevice, indexOf(dev), 0);
    if (DeviceState* device = deviceOf(dev, LibUsbCall::RefDevice)) ++device->references;
    return dev;
}

void libusb_unref_device(libusb_device* dev) {
    begin(LibUsbCall::UnrefDevice, indexOf(dev), 0);
    DeviceState* device = deviceOf(dev, LibUsbCall::UnrefDevice);
    if (device == nullptr) return;
    if (device->references == 0) {
        misuse(LibUsbCall::UnrefDevice, "device holds no reference");
        return;
    }
    --device->references;
}

int libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    const size_t entry = begin(LibUsbCall::GetDeviceDescriptor, indexOf(dev), 0);
    DeviceState* device = deviceOf(dev, LibUsbCall::GetDeviceDescriptor);
    if (device == nullptr) return finish(entry, LIBUSB_ERROR_INVALID_PARAM);
    if (auto code = injectedFailure(LibUsbCall::GetDeviceDescriptor)) return finish(entry, *code);
    *desc = libusb_device_descriptor{};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = device->spec.vendorId;
    desc->idProduct = device->spec.productId;
    desc->bNumConfigurations = static_cast<uint8_t>(device->spec.configs.size());
    return finish(entry, 0);
}

int libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                 libusb_config_descriptor** config) {
    const size_t entry = begin(LibUsbCall::GetConfigDescriptor, indexOf(dev), config_index);
    DeviceState* device = deviceOf(dev, LibUsbCall::GetConfigDescriptor);
    if (device == nullptr) return finish(entry, LIBUSB_ERROR_INVALID_PARAM);
    if (auto code = injectedFailure(LibUsbCall::GetConfigDescriptor)) return finish(entry, *code);
    if (config_index >= device->spec.configs.size()) return finish(entry, LIBUSB_ERROR_NOT_FOUND);
    auto copy = copyConfig(device->spec.configs[config_index]);
    *config = &copy->config;
    state().configDescriptors.push_back(std::move(copy));
    return finish(entry, 0);
}

void libusb_free_config_descriptor(libusb_config_descriptor* config) {
    begin(LibUsbCall::FreeConfigDescriptor, -1, 0);
    if (config == nullptr) return;
    auto& held = state().configDescriptors;
    const auto found = std::find_if(held.begin(), held.end(),
                                    [config](const auto& copy) { return &copy->config == config; });
    if (found == held.end()) {
        misuse(LibUsbCall::FreeConfigDescriptor,
               "descriptor the stand-in did not hand out, or freed twice");
        return;
    }
    held.erase(found);
}

int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    const size_t entry = begin(LibUsbCall::Open, indexOf(dev), 0);
    DeviceState* device = deviceOf(dev, LibUsbCall::Open);
    if (device == nullptr) return finish(entry, LIBUSB_ERROR_INVALID_PARAM);
    if (auto code = injectedFailure(LibUsbCall::Open)) return finish(entry, *code);
    if (!device->plugged) return finish(entry, LIBUSB_ERROR_NO_DEVICE);
    state().handles.push_back({device->usb.index, true, false, {}});
    ++device->references;
    *dev_handle = &state().handles.back();
    return finish(entry, 0);
}

void libusb_close(libusb_device_handle* dev_handle) {
    begin(LibUsbCall::Close, indexOf(dev_handle), 0);
    if (dev_handle == nullptr) return;
    DeviceState* device = deviceOf(dev_handle, LibUsbCall::Close);
    if (device == nullptr) return;
    dev_handle->open = false;
    dev_handle->claimed.clear();
    --device->references;
}

int libusb_kernel_driver_active(libusb_device_handle* dev_handle, int interface_number) {
    auto call = beginOnHandle(LibUsbCall::KernelDriverActive, dev_handle, interface_number);
    if (call.early) return finish(call.entry, *call.early);
    return finish(call.entry, call.device->driverBound ? 1 : 0);
}

int libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int interface_number) {
    auto call = beginOnHandle(LibUsbCall::DetachKernelDriver, dev_handle, interface_number);
    if (call.early) return finish(call.entry, *call.early);
    if (!call.device->driverBound) return finish(call.entry, LIBUSB_ERROR_NOT_FOUND);
    call.device->driverBound = false;
    return finish(call.entry, 0);
}

int libusb_get_configuration(libusb_device_handle* dev_handle, int* config) {
    auto call = beginOnHandle(LibUsbCall::GetConfiguration, dev_handle, 0);
    if (call.early) return finish(call.entry, *call.early);
    const DeviceSpec& spec = call.device->spec;
    const bool claimed = !dev_handle->claimed.empty();
    *config = claimed && spec.configurationAfterClaim >= 0 ? spec.configurationAfterClaim
                                                          : call.device->configuration;
    return finish(call.entry, 0);
}

int libusb_set_configuration(libusb_device_handle* dev_handle, int configuration) {
    auto call = beginOnHandle(LibUsbCall::SetConfiguration, dev_handle, configuration);
    if (call.early) return finish(call.entry, *call.early);
    if (!dev_handle->claimed.empty()) return finish(call.entry, LIBUSB_ERROR_BUSY);
    const auto& configs = call.device->spec.configs;
    const bool known = configuration <= 0 ||
                       std::any_of(configs.begin(), configs.end(), [configuration](const auto& c) {
                           return c.value == configuration;
                       });
    if (!known) return finish(call.entry, LIBUSB_ERROR_NOT_FOUND);
    call.device->configuration = std::max(configuration, 0);
    return finish(call.entry, 0);
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle, int enable) {
    auto call = beginOnHandle(LibUsbCall::SetAutoDetachKernelDriver, dev_handle, enable);
    if (call.early) return finish(call.entry, *call.early);
    dev_handle->autoDetach = enable != 0;
    return finish(call.entry, 0);
}

int libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    auto call = beginOnHandle(LibUsbCall::ClaimInterface, dev_handle, interface_number);
    if (call.early) return finish(call.entry, *call.early);
    if (call.device->driverBound) {
        if (!dev_handle->autoDetach) return finish(call.entry, LIBUSB_ERROR_BUSY);
        call.device->driverBound = false;
    }
    if (!isClaimed(*dev_handle, interface_number)) dev_handle->claimed.push_back(interface_number);
    return finish(call.entry, 0);
}

int libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    auto call = beginOnHandle(LibUsbCall::ReleaseInterface, dev_handle, interface_number);
    if (call.early) return finish(call.entry, *call.early);
    auto& claimed = dev_handle->claimed;
    const auto found = std::find(claimed.begin(), claimed.end(), interface_number);
    if (found == claimed.end()) return finish(call.entry, LIBUSB_ERROR_NOT_FOUND);
    claimed.erase(found);
    return finish(call.entry, 0);
}

int libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                         unsigned char* data, int length, int* actual_length,
                         unsigned int timeout) {
    auto call = beginOnHandle(LibUsbCall::BulkTransfer, dev_handle, endpoint);
    const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    BulkTransferRecord record{indexOf(dev_handle), endpoint, length, 0, 0, timeout, {}};
    if (!in && state().recordOutData && data != nullptr && length > 0) {
        record.data.assign(data, data + length);
    }

    int transferred = 0;
    int result = 0;
    if (call.early) {
        result = *call.early;
    } else if (length < 0 || (data == nullptr && length > 0)) {
        misuse(LibUsbCall::BulkTransfer, "negative length or null buffer");
        result = LIBUSB_ERROR_INVALID_PARAM;
    } else if (in) {
        result = servePackets(*call.device, endpoint, data, length, &transferred);
    } else {
        transferred = length;
        if (auto shortened = injectedShortWrite()) transferred = std::clamp(*shortened, 0, length);
    }
    if (actual_length != nullptr) *actual_length = transferred;
    record.transferred = transferred;
    record.result = result;
    state().bulkTransfers.push_back(std::move(record));
    return finish(call.entry, result);
}

int libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type,
                            uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                            unsigned char* data, uint16_t wLength, unsigned int timeout) {
    auto call = beginOnHandle(LibUsbCall::ControlTransfer, dev_handle, request_type);
    const bool in = (request_type & LIBUSB_ENDPOINT_IN) != 0;
    int result = wLength;
    if (call.early) {
        result = *call.early;
    } else if (!state().controlReplies.empty()) {
        ControlReply& reply = state().controlReplies.front();
        result = reply.result;
        if (in && data != nullptr && !reply.data.empty()) {
            std::memcpy(data, reply.data.data(), std::min<size_t>(reply.data.size(), wLength));
        }
        state().controlReplies.pop_front();
    } else if (in && data != nullptr) {
        std::memset(data, 0, wLength);
    }
    state().controlTransfers.push_back({indexOf(dev_handle), request_type, bRequest, wValue,
                                        wIndex, wLength, timeout, result});
    return finish(call.entry, result);
}

int libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char endpoint) {
    auto call = beginOnHandle(LibUsbCall::ClearHalt, dev_handle, endpoint);
    if (call.early) return finish(call.entry, *call.early);
    return finish(call.entry, 0);
}

}  // extern "C"
