#pragma once

// The state behind the stand-in, shared by its scripting API
// (libusb_standin.cc) and its libusb functions (libusb_standin_functions.cc).
// Not for tests: they use libusb_standin.h.

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/doubles/libusb_standin/libusb_standin.h"

// The opaque libusb types, as the stand-in defines them.
struct libusb_context {};
struct libusb_device {
    int index;
};
struct libusb_device_handle {
    int device;
    bool open;
    bool autoDetach;
    std::vector<int> claimed;
};

namespace korvene::testing::standin {

struct DeviceState {
    DeviceSpec spec;
    libusb_device usb;
    bool plugged = true;
    bool driverBound = false;
    int configuration = 0;
    int references = 0;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> inPackets;
};

struct FailureRule {
    LibUsbCall call;
    int code;
    int skip;   // matching calls still to pass before the rule fires
    int times;  // calls it still fails; kEveryCall for all
};

struct ShortWriteRule {
    int skip;
    int transferred;
};

struct ControlReply {
    int result;
    std::vector<uint8_t> data;
};

// A configuration descriptor handed out, with the storage its pointers use.
struct ConfigCopy {
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::vector<std::vector<libusb_interface_descriptor>> settings;
    std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
};

enum class Lifecycle { NotStarted, Running, Exited };

struct State {
    std::deque<DeviceState> devices;  // a deque keeps each libusb_device in place
    std::deque<libusb_device_handle> handles;
    std::vector<std::unique_ptr<std::vector<libusb_device*>>> deviceLists;
    std::vector<std::unique_ptr<ConfigCopy>> configDescriptors;
    std::vector<FailureRule> failures;
    std::vector<ShortWriteRule> shortWrites;
    std::deque<ControlReply> controlReplies;
    std::vector<CallRecord> calls;
    std::vector<BulkTransferRecord> bulkTransfers;
    std::vector<ControlTransferRecord> controlTransfers;
    std::vector<std::string> misuses;
    Lifecycle lifecycle = Lifecycle::NotStarted;
    bool recordOutData = true;
    libusb_context context;
};

State& state();

}  // namespace korvene::testing::standin
