// The scripting and inspection API of the libusb stand-in.
#include "tests/doubles/libusb_standin/libusb_standin.h"

#include <algorithm>
#include <ostream>
#include <stdexcept>
#include <utility>

#include "tests/doubles/libusb_standin/libusb_standin_state.h"

namespace korvene::testing {

namespace standin {

State& state() {
    static State instance;
    return instance;
}

}  // namespace standin

using standin::state;

namespace {

// Room for the logs of a test, so that recording IN and control transfers
// does not allocate on the paths under test.
constexpr size_t kLogCapacity = 4096;

standin::DeviceState& deviceAt(int device) {
    auto& devices = state().devices;
    if (device < 0 || static_cast<size_t>(device) >= devices.size()) {
        throw std::out_of_range("libusb stand-in: no device " + std::to_string(device));
    }
    return devices[static_cast<size_t>(device)];
}

}  // namespace

const char* callName(LibUsbCall call) {
    switch (call) {
        case LibUsbCall::Init: return "libusb_init";
        case LibUsbCall::Exit: return "libusb_exit";
        case LibUsbCall::GetDeviceList: return "libusb_get_device_list";
        case LibUsbCall::FreeDeviceList: return "libusb_free_device_list";
        case LibUsbCall::RefDevice: return "libusb_ref_device";
        case LibUsbCall::UnrefDevice: return "libusb_unref_device";
        case LibUsbCall::GetDeviceDescriptor: return "libusb_get_device_descriptor";
        case LibUsbCall::GetConfigDescriptor: return "libusb_get_config_descriptor";
        case LibUsbCall::FreeConfigDescriptor: return "libusb_free_config_descriptor";
        case LibUsbCall::Open: return "libusb_open";
        case LibUsbCall::Close: return "libusb_close";
        case LibUsbCall::KernelDriverActive: return "libusb_kernel_driver_active";
        case LibUsbCall::DetachKernelDriver: return "libusb_detach_kernel_driver";
        case LibUsbCall::GetConfiguration: return "libusb_get_configuration";
        case LibUsbCall::SetConfiguration: return "libusb_set_configuration";
        case LibUsbCall::SetAutoDetachKernelDriver: return "libusb_set_auto_detach_kernel_driver";
        case LibUsbCall::ClaimInterface: return "libusb_claim_interface";
        case LibUsbCall::ReleaseInterface: return "libusb_release_interface";
        case LibUsbCall::BulkTransfer: return "libusb_bulk_transfer";
        case LibUsbCall::ControlTransfer: return "libusb_control_transfer";
        case LibUsbCall::ClearHalt: return "libusb_clear_halt";
    }
    return "libusb_?";
}

std::ostream& operator<<(std::ostream& out, LibUsbCall call) {
    return out << callName(call);
}

DeviceSpec keyDeviceSpec(uint16_t maxPacketSize) {
    DeviceSpec spec;
    InterfaceSpec bulkInterface;
    bulkInterface.altSettings.push_back({
        {0x01, LIBUSB_TRANSFER_TYPE_BULK, maxPacketSize},
        {0x81, LIBUSB_TRANSFER_TYPE_BULK, maxPacketSize},
    });
    spec.configs.push_back(ConfigSpec{1, {bulkInterface}});
    return spec;
}

LibUsbStandin& LibUsbStandin::instance() {
    static LibUsbStandin standin;
    return standin;
}

void LibUsbStandin::reset() {
    state() = standin::State{};
    state().calls.reserve(kLogCapacity);
    state().bulkTransfers.reserve(kLogCapacity);
    state().controlTransfers.reserve(kLogCapacity);
}

int LibUsbStandin::addDevice(DeviceSpec spec) {
    auto& devices = state().devices;
    const int index = static_cast<int>(devices.size());
    standin::DeviceState& added = devices.emplace_back();
    added.usb.index = index;
    added.driverBound = spec.kernelDriver;
    added.configuration = spec.configuration;
    added.spec = std::move(spec);
    return index;
}

void LibUsbStandin::unplug(int device) {
    deviceAt(device).plugged = false;
}

libusb_device* LibUsbStandin::device(int device) {
    return &deviceAt(device).usb;
}

void LibUsbStandin::failCall(LibUsbCall call, int code, int nth, int times) {
    state().failures.push_back({call, code, std::max(nth, 1) - 1, times});
}

void LibUsbStandin::shortenOutTransfer(int transferred, int nth) {
    state().shortWrites.push_back({std::max(nth, 1) - 1, transferred});
}

void LibUsbStandin::queueInPacket(int device, uint8_t endpoint, std::vector<uint8_t> packet) {
    deviceAt(device).inPackets[endpoint].push_back(std::move(packet));
}

size_t LibUsbStandin::pendingInPackets(int device, uint8_t endpoint) const {
    const auto& queues = deviceAt(device).inPackets;
    const auto queue = queues.find(endpoint);
    return queue == queues.end() ? 0 : queue->second.size();
}

void LibUsbStandin::queueControlReply(int result, std::vector<uint8_t> data) {
    state().controlReplies.push_back({result, std::move(data)});
}

const std::vector<CallRecord>& LibUsbStandin::calls() const {
    return state().calls;
}

std::vector<LibUsbCall> LibUsbStandin::callSequence() const {
    std::vector<LibUsbCall> sequence;
    for (const CallRecord& record : state().calls) sequence.push_back(record.call);
    return sequence;
}

size_t LibUsbStandin::callCount(LibUsbCall call) const {
    const auto& calls = state().calls;
    return static_cast<size_t>(std::count_if(
        calls.begin(), calls.end(), [call](const CallRecord& record) { return record.call == call; }));
}

const std::vector<BulkTransferRecord>& LibUsbStandin::bulkTransfers() const {
    return state().bulkTransfers;
}

const std::vector<ControlTransferRecord>& LibUsbStandin::controlTransfers() const {
    return state().controlTransfers;
}

void LibUsbStandin::clearLog() {
    state().calls.clear();
    state().bulkTransfers.clear();
    state().controlTransfers.clear();
}

void LibUsbStandin::recordOutData(bool on) {
    state().recordOutData = on;
}

int LibUsbStandin::referenceCount(int device) const {
    return deviceAt(device).references;
}

size_t LibUsbStandin::openHandleCount() const {
    const auto& handles = state().handles;
    return static_cast<size_t>(std::count_if(handles.begin(), handles.end(),
                                             [](const libusb_device_handle& h) { return h.open; }));
}

size_t LibUsbStandin::outstandingAllocations() const {
    return state().deviceLists.size() + state().configDescriptors.size();
}

const std::vector<std::string>& LibUsbStandin::misuses() const {
    return state().misuses;
}

}  // namespace korvene::testing
