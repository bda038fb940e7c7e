// Opening, closing and destroying a LibUsbDevice over the libusb stand-in:
// the libusb sequence, the undo calls of every failing step, the descriptor
// walk and the endpoint records it builds.
#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "device/usb/libusb_device.h"
#include "device/usb/usb_open_result.h"
#include "tests/usb/standin_test.h"

namespace korvene::testing {
namespace {

using ::testing::IsEmpty;
using C = LibUsbCall;
using testing::operator<<;  // table rows print as their names

// A key with a bound kernel driver in no configuration: opening it takes every
// step of the sequence.
DeviceSpec keyNeedingEveryStep() {
    DeviceSpec spec = keyDeviceSpec();
    spec.kernelDriver = true;
    spec.configuration = 0;
    return spec;
}

const std::vector<C> kEveryStep = {
    C::GetDeviceDescriptor, C::GetConfigDescriptor, C::FreeConfigDescriptor,
    C::Open,                C::KernelDriverActive,  C::DetachKernelDriver,
    C::GetConfiguration,    C::SetConfiguration,    C::SetAutoDetachKernelDriver,
    C::ClaimInterface,      C::GetConfiguration,
};

// kEveryStep up to and including the nth call of `call`.
std::vector<C> stepsThrough(C call, int nth) {
    std::vector<C> steps;
    for (C step : kEveryStep) {
        steps.push_back(step);
        if (step == call && --nth == 0) return steps;
    }
    ADD_FAILURE() << call << " is not step " << nth << " of the sequence";
    return steps;
}

std::vector<C> plus(std::vector<C> first, const std::vector<C>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

int argumentOf(const LibUsbStandin& usb, C call) {
    for (const CallRecord& record : usb.calls()) {
        if (record.call == call) return record.argument;
    }
    ADD_FAILURE() << call << " was not called";
    return -1;
}

// ---- toUsbOpenResult -------------------------------------------------------

TEST(UsbOpenResultMapping, NamedLibusbCodesKeepTheirMeaningAndEveryOtherCodeIsFailed) {
    const struct {
        int code;
        UsbOpenResult result;
    } rows[] = {
        {LIBUSB_SUCCESS, UsbOpenResult::Ok},
        {LIBUSB_ERROR_ACCESS, UsbOpenResult::AccessDenied},
        {LIBUSB_ERROR_NO_DEVICE, UsbOpenResult::NoDevice},
        {LIBUSB_ERROR_BUSY, UsbOpenResult::Busy},
        {LIBUSB_ERROR_IO, UsbOpenResult::Failed},
        {LIBUSB_ERROR_INVALID_PARAM, UsbOpenResult::Failed},
        {LIBUSB_ERROR_NOT_FOUND, UsbOpenResult::Failed},
        {LIBUSB_ERROR_TIMEOUT, UsbOpenResult::Failed},
        {LIBUSB_ERROR_NOT_SUPPORTED, UsbOpenResult::Failed},
        {LIBUSB_ERROR_OTHER, UsbOpenResult::Failed},
        {1, UsbOpenResult::Failed},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(toUsbOpenResult(row.code), row.result) << "libusb code " << row.code;
    }
}

// ---- a libusb call fails ----------------------------------------------------

struct FailingStep {
    const char* name;
    C call;
    int nth;               // which call of that function fails
    std::vector<C> undo;   // the calls made after the failing one
};

const FailingStep kFailingSteps[] = {
    {"DeviceDescriptor", C::GetDeviceDescriptor, 1, {}},
    {"ConfigDescriptor", C::GetConfigDescriptor, 1, {}},
    {"Open", C::Open, 1, {}},
    {"DetachKernelDriver", C::DetachKernelDriver, 1, {C::Close}},
    {"GetConfiguration", C::GetConfiguration, 1, {C::Close}},
    {"SetConfiguration", C::SetConfiguration, 1, {C::Close}},
    {"SetAutoDetach", C::SetAutoDetachKernelDriver, 1, {C::Close}},
    {"ClaimInterface", C::ClaimInterface, 1, {C::Close}},
    {"GetConfigurationAfterClaim", C::GetConfiguration, 2, {C::ReleaseInterface, C::Close}},
};

struct LibUsbError {
    const char* name;
    int code;
    UsbOpenResult result;
};

const LibUsbError kErrors[] = {
    {"Access", LIBUSB_ERROR_ACCESS, UsbOpenResult::AccessDenied},
    {"NoDevice", LIBUSB_ERROR_NO_DEVICE, UsbOpenResult::NoDevice},
    {"Busy", LIBUSB_ERROR_BUSY, UsbOpenResult::Busy},
    {"Io", LIBUSB_ERROR_IO, UsbOpenResult::Failed},
    {"NotSupported", LIBUSB_ERROR_NOT_SUPPORTED, UsbOpenResult::Failed},
    {"Other", LIBUSB_ERROR_OTHER, UsbOpenResult::Failed},
};

class UsbOpenFailingStep
    : public StandinTest,
      public ::testing::WithParamInterface<std::tuple<FailingStep, LibUsbError>> {};

TEST_P(UsbOpenFailingStep, GivesMappedResultUndoesWhatItDidAndLeavesDeviceClosed) {
    const auto& [step, error] = GetParam();
    const int key = usb.addDevice(keyNeedingEveryStep());
    usb.failCall(step.call, error.code, step.nth);

    auto device = std::make_unique<LibUsbDevice>();
    EXPECT_EQ(device->openWithStatus(usb.device(key), 0), error.result);

    EXPECT_EQ(usb.callSequence(), plus(stepsThrough(step.call, step.nth), step.undo));
    EXPECT_FALSE(device->isOpen());
    EXPECT_EQ(usb.openHandleCount(), 0u);
    EXPECT_EQ(usb.outstandingAllocations(), 0u) << "configuration descriptor not freed";
    EXPECT_EQ(usb.referenceCount(key), 0);

    usb.clearLog();
    device.reset();
    EXPECT_THAT(usb.callSequence(), IsEmpty()) << "a closed device called libusb when destroyed";
}

INSTANTIATE_TEST_SUITE_P(
    EveryStepEveryCode, UsbOpenFailingStep,
    ::testing::Combine(::testing::ValuesIn(kFailingSteps), ::testing::ValuesIn(kErrors)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

// ---- failures that libusb does not report ----------------------------------

struct UnusableDevice {
    const char* name;
    std::function<void(DeviceSpec&)> describe;
    std::vector<C> calls;
};

const UnusableDevice kUnusableDevices[] = {
    {"NoConfiguration", [](DeviceSpec& d) { d.configs.clear(); }, {C::GetDeviceDescriptor}},
    {"ConfigurationWithoutInterface",
     [](DeviceSpec& d) { d.configs[0].interfaces.clear(); },
     {C::GetDeviceDescriptor, C::GetConfigDescriptor, C::FreeConfigDescriptor}},
    {"FirstInterfaceWithoutSetting",
     [](DeviceSpec& d) { d.configs[0].interfaces[0].altSettings.clear(); },
     {C::GetDeviceDescriptor, C::GetConfigDescriptor, C::FreeConfigDescriptor}},
    {"ConfigurationChangedByTheClaim",
     [](DeviceSpec& d) { d.configurationAfterClaim = 2; },
     plus(stepsThrough(C::GetConfiguration, 2), {C::ReleaseInterface, C::Close})},
};

class UsbOpenUnusableDevice : public StandinTestWithParam<UnusableDevice> {};

TEST_P(UsbOpenUnusableDevice, GivesFailedAndLeavesNoHandleOrDescriptor) {
    DeviceSpec spec = keyNeedingEveryStep();
    GetParam().describe(spec);
    const int key = usb.addDevice(spec);

    LibUsbDevice device;
    EXPECT_EQ(device.openWithStatus(usb.device(key), 0), UsbOpenResult::Failed);

    EXPECT_EQ(usb.callSequence(), GetParam().calls);
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(usb.openHandleCount(), 0u);
    EXPECT_EQ(usb.outstandingAllocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Devices, UsbOpenUnusableDevice, ::testing::ValuesIn(kUnusableDevices),
                         RowName());

class UsbDeviceLifecycle : public StandinTest {};

// ---- successful opens -------------------------------------------------------

struct GoodDevice {
    const char* name;
    std::function<void(DeviceSpec&)> describe;
    std::function<void(LibUsbStandin&)> script;
    std::vector<C> calls;
    int configurationSet;  // argument of libusb_set_configuration, -1 if not called
};

const std::vector<C> kConfiguredKeyWithoutDriver = {
    C::GetDeviceDescriptor, C::GetConfigDescriptor,       C::FreeConfigDescriptor,
    C::Open,                C::KernelDriverActive,        C::GetConfiguration,
    C::SetAutoDetachKernelDriver, C::ClaimInterface,      C::GetConfiguration,
};

const GoodDevice kGoodDevices[] = {
    {"ConfiguredDeviceIsNotConfiguredAgain", [](DeviceSpec&) {}, nullptr,
     kConfiguredKeyWithoutDriver, -1},
    {"UnconfiguredDeviceGetsFirstConfigurationValue",
     [](DeviceSpec& d) {
         d.configuration = 0;
         d.configs[0].value = 3;
     },
     nullptr,
     {C::GetDeviceDescriptor, C::GetConfigDescriptor, C::FreeConfigDescriptor, C::Open,
      C::KernelDriverActive, C::GetConfiguration, C::SetConfiguration,
      C::SetAutoDetachKernelDriver, C::ClaimInterface, C::GetConfiguration},
     3},
    {"FirstConfigurationIsTakenByIndexNotValue",
     [](DeviceSpec& d) {
         // Descriptor 0 carries value 2; the device runs in value 1.
         ConfigSpec second = d.configs[0];
         d.configs[0].value = 2;
         d.configs.push_back(second);
         d.configuration = 1;
     },
     nullptr,
     {C::GetDeviceDescriptor, C::GetConfigDescriptor, C::FreeConfigDescriptor, C::Open,
      C::KernelDriverActive, C::GetConfiguration, C::SetConfiguration,
      C::SetAutoDetachKernelDriver, C::ClaimInterface, C::GetConfiguration},
     2},
    {"BoundKernelDriverIsDetached", [](DeviceSpec& d) { d.kernelDriver = true; }, nullptr,
     {C::GetDeviceDescriptor, C::GetConfigDescriptor, C::FreeConfigDescriptor, C::Open,
      C::KernelDriverActive, C::DetachKernelDriver, C::GetConfiguration,
      C::SetAutoDetachKernelDriver, C::ClaimInterface, C::GetConfiguration},
     -1},
    {"FailedDriverQueryCountsAsNoDriver", [](DeviceSpec&) {},
     [](LibUsbStandin& usb) {
         usb.failCall(C::KernelDriverActive, LIBUSB_ERROR_NOT_SUPPORTED);
     },
     kConfiguredKeyWithoutDriver, -1},
};

class UsbOpenGoodDevice : public StandinTestWithParam<GoodDevice> {};

TEST_P(UsbOpenGoodDevice, OpensWithExactlyTheNeededCallsAndClosesCleanly) {
    DeviceSpec spec = keyDeviceSpec();
    GetParam().describe(spec);
    const int key = usb.addDevice(spec);
    if (GetParam().script) GetParam().script(usb);

    LibUsbDevice device;
    ASSERT_EQ(device.openWithStatus(usb.device(key), 0), UsbOpenResult::Ok);
    EXPECT_TRUE(device.isOpen());
    EXPECT_EQ(usb.callSequence(), GetParam().calls);
    EXPECT_EQ(argumentOf(usb, C::SetAutoDetachKernelDriver), 1)
        << "the kernel driver would not be re-attached when the interface is released";
    if (GetParam().configurationSet >= 0) {
        EXPECT_EQ(argumentOf(usb, C::SetConfiguration), GetParam().configurationSet);
    }
    EXPECT_EQ(usb.openHandleCount(), 1u);
    EXPECT_EQ(usb.outstandingAllocations(), 0u);

    usb.clearLog();
    device.close();
    EXPECT_EQ(usb.callSequence(), (std::vector<C>{C::ReleaseInterface, C::Close}));
    EXPECT_EQ(usb.referenceCount(key), 0);
}

INSTANTIATE_TEST_SUITE_P(Devices, UsbOpenGoodDevice, ::testing::ValuesIn(kGoodDevices),
                         RowName());

TEST_F(UsbDeviceLifecycle, OpenClaimsTheFirstInterfaceByItsNumberAndReleasesThatOne) {
    DeviceSpec spec = keyDeviceSpec();
    spec.configs[0].interfaces[0].number = 5;
    const int key = usb.addDevice(spec);

    LibUsbDevice device;
    ASSERT_EQ(device.openWithStatus(usb.device(key), 0), UsbOpenResult::Ok);
    EXPECT_EQ(argumentOf(usb, C::KernelDriverActive), 5);
    EXPECT_EQ(argumentOf(usb, C::ClaimInterface), 5);
    device.close();
    EXPECT_EQ(argumentOf(usb, C::ReleaseInterface), 5);
}

// ---- close, reopen, destroy ------------------------------------------------

TEST_F(UsbDeviceLifecycle, CloseTwiceThenDestroyReleasesAndClosesOnce) {
    const int key = usb.addDevice(keyDeviceSpec());
    {
        LibUsbDevice device;
        ASSERT_EQ(device.openWithStatus(usb.device(key), 0), UsbOpenResult::Ok);
        usb.clearLog();
        device.close();
        EXPECT_FALSE(device.isOpen());
        EXPECT_EQ(device.inEndpointCount(), 0u);
        EXPECT_EQ(device.outEndpointCount(), 0u);
        device.close();
    }
    EXPECT_EQ(usb.callSequence(), (std::vector<C>{C::ReleaseInterface, C::Close}));
    EXPECT_EQ(usb.openHandleCount(), 0u);
}

TEST_F(UsbDeviceLifecycle, DestroyingAnOpenDeviceThroughTheInterfaceClosesIt) {
    const int key = usb.addDevice(keyDeviceSpec());
    std::unique_ptr<KvUsbDevice> device = std::make_unique<LibUsbDevice>();
    ASSERT_TRUE(device->open(usb.device(key), 0));
    usb.clearLog();

    device.reset();
    EXPECT_EQ(usb.callSequence(), (std::vector<C>{C::ReleaseInterface, C::Close}));
    EXPECT_EQ(usb.referenceCount(key), 0);
}

TEST_F(UsbDeviceLifecycle, ReopeningAnOpenDeviceClosesTheOldHandleFirst) {
    const int first = usb.addDevice(keyDeviceSpec());
    const int second = usb.addDevice(keyDeviceSpec(512));
    LibUsbDevice device;
    ASSERT_EQ(device.openWithStatus(usb.device(first), 0), UsbOpenResult::Ok);
    usb.clearLog();

    ASSERT_EQ(device.openWithStatus(usb.device(second), 0), UsbOpenResult::Ok);
    EXPECT_EQ(usb.callSequence(), plus({C::ReleaseInterface, C::Close}, kConfiguredKeyWithoutDriver));
    EXPECT_EQ(usb.openHandleCount(), 1u);
    EXPECT_EQ(usb.referenceCount(first), 0);
    ASSERT_EQ(device.inEndpointCount(), 1u);
    EXPECT_EQ(device.inEndpointRecords()[0].maxPacketSize, 512);
}

TEST_F(UsbDeviceLifecycle, NullDeviceClosesAnOpenObjectAndGivesFailed) {
    const int key = usb.addDevice(keyDeviceSpec());
    LibUsbDevice device;
    ASSERT_EQ(device.openWithStatus(usb.device(key), 0), UsbOpenResult::Ok);
    usb.clearLog();

    EXPECT_EQ(device.openWithStatus(nullptr, 0), UsbOpenResult::Failed);
    EXPECT_FALSE(device.open(nullptr, 0));
    EXPECT_EQ(usb.callSequence(), (std::vector<C>{C::ReleaseInterface, C::Close}));
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(device.inEndpointCount(), 0u);
}

TEST_F(UsbDeviceLifecycle, OpenIsTrueExactlyWhenOpenWithStatusGivesOk) {
    const int key = usb.addDevice(keyDeviceSpec());
    LibUsbDevice device;
    EXPECT_TRUE(device.open(usb.device(key), 0));
    usb.failCall(C::ClaimInterface, LIBUSB_ERROR_BUSY);
    EXPECT_FALSE(device.open(usb.device(key), 0));
    EXPECT_FALSE(device.isOpen());
}

TEST_F(UsbDeviceLifecycle, EndpointAddressOutOfRangeThrowsAlsoOnAClosedDevice) {
    const int key = usb.addDevice(keyDeviceSpec());
    LibUsbDevice device;
    EXPECT_THROW(device.outEndpointAddress(0), std::out_of_range);
    ASSERT_EQ(device.openWithStatus(usb.device(key), 0), UsbOpenResult::Ok);
    EXPECT_EQ(device.outEndpointAddress(0), 0x01);
    EXPECT_EQ(device.inEndpointAddress(0), 0x81);
    EXPECT_THROW(device.outEndpointAddress(static_cast<uint32_t>(device.outEndpointCount())),
                 std::out_of_range);
    EXPECT_THROW(device.inEndpointAddress(static_cast<uint32_t>(device.inEndpointCount())),
                 std::out_of_range);
    device.close();
    EXPECT_THROW(device.inEndpointAddress(0), std::out_of_range);
}

// ---- the descriptor walk ----------------------------------------------------

struct Walk {
    const char* name;
    std::vector<ConfigSpec> configs;
    std::vector<EndpointSpec> in;   // expected records, in order
    std::vector<EndpointSpec> out;
};

constexpr uint8_t kBulk = LIBUSB_TRANSFER_TYPE_BULK;
constexpr uint8_t kInterrupt = LIBUSB_TRANSFER_TYPE_INTERRUPT;
constexpr uint8_t kIsochronous = LIBUSB_TRANSFER_TYPE_ISOCHRONOUS;
constexpr uint8_t kControl = LIBUSB_TRANSFER_TYPE_CONTROL;

const Walk kWalks[] = {
    {"OnlyFirstSettingOfFirstInterfaceOfFirstConfiguration",
     {
         ConfigSpec{1,
                    {InterfaceSpec{0,
                                   {{{0x81, kBulk, 64}, {0x02, kBulk, 64}},
                                    {{0x83, kBulk, 512}, {0x04, kBulk, 512}}}},
                     InterfaceSpec{1, {{{0x85, kBulk, 64}, {0x06, kBulk, 64}}}}}},
         ConfigSpec{2, {InterfaceSpec{0, {{{0x87, kBulk, 64}, {0x08, kBulk, 64}}}}}},
     },
     {{0x81, kBulk, 64}},
     {{0x02, kBulk, 64}}},
    {"BulkEndpointsOnlyInDescriptorOrder",
     {ConfigSpec{1,
                 {InterfaceSpec{0,
                                {{{0x83, kInterrupt, 8},
                                  {0x02, kBulk, 64},
                                  {0x81, kBulk, 64},
                                  {0x05, kIsochronous | 0x04, 256},
                                  {0x86, kBulk, 512},
                                  {0x84, kControl, 64},
                                  {0x04, kBulk, 32},
                                  {0x87, kInterrupt, 16}}}}}}},
     {{0x81, kBulk, 64}, {0x86, kBulk, 512}},
     {{0x02, kBulk, 64}, {0x04, kBulk, 32}}},
    {"NoBulkEndpointGivesEmptyLists",
     {ConfigSpec{1, {InterfaceSpec{0, {{{0x83, kInterrupt, 8}, {0x04, kInterrupt, 8}}}}}}},
     {},
     {}},
    {"ZeroMaxPacketSizeIsListedWithEmptyBuffer",
     {ConfigSpec{1, {InterfaceSpec{0, {{{0x81, kBulk, 0}, {0x01, kBulk, 0}}}}}}},
     {{0x81, kBulk, 0}},
     {{0x01, kBulk, 0}}},
};

class UsbDescriptorWalk : public StandinTestWithParam<Walk> {};

TEST_P(UsbDescriptorWalk, ListsTheBulkEndpointsWithFreshRecords) {
    DeviceSpec spec;
    spec.configs = GetParam().configs;
    const int key = usb.addDevice(spec);

    for (const uint8_t zlp : {0, 1}) {
        SCOPED_TRACE(zlp ? "opened with zlp 1" : "opened with zlp 0");
        LibUsbDevice device;
        ASSERT_EQ(device.openWithStatus(usb.device(key), zlp), UsbOpenResult::Ok);

        const auto& in = device.inEndpointRecords();
        ASSERT_EQ(device.inEndpointCount(), GetParam().in.size());
        for (size_t i = 0; i < in.size(); ++i) {
            const EndpointSpec& expected = GetParam().in[i];
            EXPECT_EQ(device.inEndpointAddress(static_cast<uint32_t>(i)), expected.address);
            EXPECT_EQ(in[i].maxPacketSize, expected.maxPacketSize);
            EXPECT_EQ(in[i].zlp, zlp);
            EXPECT_EQ(in[i].available, 0);
            EXPECT_EQ(in[i].position, 0);
            EXPECT_EQ(in[i].timeout, 0u);
            EXPECT_EQ(in[i].buffer, std::vector<uint8_t>(expected.maxPacketSize, 0));
        }
        const auto& out = device.outEndpointRecords();
        ASSERT_EQ(device.outEndpointCount(), GetParam().out.size());
        for (size_t i = 0; i < out.size(); ++i) {
            const EndpointSpec& expected = GetParam().out[i];
            EXPECT_EQ(device.outEndpointAddress(static_cast<uint32_t>(i)), expected.address);
            EXPECT_EQ(out[i].maxPacketSize, expected.maxPacketSize);
            EXPECT_EQ(out[i].zlp, zlp);
            EXPECT_EQ(out[i].timeout, 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Descriptors, UsbDescriptorWalk, ::testing::ValuesIn(kWalks), RowName());

}  // namespace
}  // namespace korvene::testing
