// LibUsbEnumerator and the backend entry points over the libusb stand-in:
// matching by both IDs, the references a scan holds, opening by index, and
// starting and stopping libusb.
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "device/usb/key_usb_identity.h"
#include "device/usb/libusb_enumerator.h"
#include "device/usb/usb_backend.h"
#include "tests/usb/standin_test.h"

namespace korvene::testing {
namespace {

using C = LibUsbCall;

constexpr uint16_t kVendor = 0x1234;
constexpr uint16_t kProduct = 0x5678;

DeviceSpec withIds(uint16_t vendorId, uint16_t productId) {
    DeviceSpec spec = keyDeviceSpec();
    spec.vendorId = vendorId;
    spec.productId = productId;
    return spec;
}

// The device that libusb_open was called on last.
int lastOpened(const LibUsbStandin& usb) {
    int device = -1;
    for (const CallRecord& record : usb.calls()) {
        if (record.call == C::Open) device = record.device;
    }
    return device;
}

class UsbEnumerator : public StandinTest {
protected:
    // Devices 0 and 3 match; 1 and 2 carry only one of the two IDs.
    void addMixedBus() {
        usb.addDevice(withIds(kVendor, kProduct));
        usb.addDevice(withIds(kVendor, kProduct + 1));
        usb.addDevice(withIds(kVendor + 1, kProduct));
        usb.addDevice(withIds(kVendor, kProduct));
    }
};

TEST_F(UsbEnumerator, MatchesBothIdsInListOrderAndHoldsOneReferenceOnEachMatch) {
    addMixedBus();
    LibUsbEnumerator enumerator(kVendor, kProduct);
    EXPECT_THAT(usb.callSequence(), ::testing::IsEmpty()) << "the constructor called libusb";
    EXPECT_TRUE(enumerator.isEmpty());

    EXPECT_TRUE(enumerator.scan());
    EXPECT_EQ(enumerator.count(), 2u);
    EXPECT_FALSE(enumerator.isEmpty());
    EXPECT_EQ(usb.outstandingAllocations(), 0u) << "device list not freed";
    const int expectedReferences[] = {1, 0, 0, 1};
    for (int device = 0; device < 4; ++device) {
        EXPECT_EQ(usb.referenceCount(device), expectedReferences[device]) << "device " << device;
    }

    for (const auto& [index, device] : {std::pair<size_t, int>{0, 0}, {1, 3}}) {
        std::unique_ptr<KvUsbDevice> opened(enumerator.openDevice(index));
        ASSERT_NE(opened, nullptr);
        EXPECT_EQ(lastOpened(usb), device) << "index " << index;
    }
}

TEST_F(UsbEnumerator, DeviceWhoseDescriptorCannotBeReadIsSkipped) {
    addMixedBus();
    usb.failCall(C::GetDeviceDescriptor, LIBUSB_ERROR_IO);
    LibUsbEnumerator enumerator(kVendor, kProduct);
    EXPECT_TRUE(enumerator.scan());
    EXPECT_EQ(enumerator.count(), 1u);
    EXPECT_EQ(usb.referenceCount(0), 0);
    EXPECT_EQ(usb.referenceCount(3), 1);
}

TEST_F(UsbEnumerator, NoMatchGivesFalseAndAnEmptyList) {
    usb.addDevice(withIds(kVendor, kProduct + 1));
    LibUsbEnumerator enumerator(kVendor, kProduct);
    EXPECT_FALSE(enumerator.scan());
    EXPECT_EQ(enumerator.count(), 0u);
    EXPECT_TRUE(enumerator.isEmpty());
    EXPECT_EQ(usb.referenceCount(0), 0);
}

TEST_F(UsbEnumerator, RescanDropsTheOldReferencesAndForgetsAnUnpluggedKey) {
    addMixedBus();
    {
        LibUsbEnumerator enumerator(kVendor, kProduct);
        ASSERT_TRUE(enumerator.scan());
        usb.unplug(0);
        EXPECT_TRUE(enumerator.scan());
        EXPECT_EQ(enumerator.count(), 1u);
        EXPECT_EQ(usb.referenceCount(0), 0);
        EXPECT_EQ(usb.referenceCount(3), 1);
    }
    for (int device = 0; device < 4; ++device) {
        EXPECT_EQ(usb.referenceCount(device), 0) << "destroying the enumerator leaked device "
                                                 << device;
    }
}

TEST_F(UsbEnumerator, FailedDeviceListLeavesCountZeroAfterAnEarlierSuccess) {
    addMixedBus();
    LibUsbEnumerator enumerator(kVendor, kProduct);
    ASSERT_TRUE(enumerator.scan());
    usb.failCall(C::GetDeviceList, LIBUSB_ERROR_NO_MEM);
    EXPECT_FALSE(enumerator.scan());
    EXPECT_EQ(enumerator.count(), 0u);
    EXPECT_EQ(usb.referenceCount(0), 0);
    EXPECT_EQ(usb.referenceCount(3), 0);
}

TEST_F(UsbEnumerator, IndexOutOfRangeGivesFailedWithoutExceptionOrOpen) {
    addMixedBus();
    LibUsbEnumerator enumerator(kVendor, kProduct);
    ASSERT_TRUE(enumerator.scan());
    usb.clearLog();

    LibUsbDevice sentinel;
    KvUsbDevice* out = &sentinel;  // must be overwritten with null
    UsbOpenResult result = UsbOpenResult::Ok;
    EXPECT_NO_THROW(result = enumerator.openDeviceWithStatus(enumerator.count(), &out));
    EXPECT_EQ(result, UsbOpenResult::Failed);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(usb.callCount(C::Open), 0u);
    EXPECT_EQ(enumerator.openDeviceWithStatus(0, nullptr), UsbOpenResult::Failed);

    EXPECT_THROW(enumerator.openDevice(enumerator.count()), std::out_of_range);
}

TEST_F(UsbEnumerator, OpenFailureComesBackUnchangedAndTheHalfBuiltDeviceIsGone) {
    const struct {
        int code;
        UsbOpenResult result;
    } rows[] = {
        {LIBUSB_ERROR_BUSY, UsbOpenResult::Busy},
        {LIBUSB_ERROR_ACCESS, UsbOpenResult::AccessDenied},
        {LIBUSB_ERROR_NO_DEVICE, UsbOpenResult::NoDevice},
        {LIBUSB_ERROR_IO, UsbOpenResult::Failed},
    };
    usb.addDevice(withIds(kVendor, kProduct));
    LibUsbEnumerator enumerator(kVendor, kProduct);
    ASSERT_TRUE(enumerator.scan());
    for (const auto& row : rows) {
        SCOPED_TRACE("libusb code " + std::to_string(row.code));
        usb.failCall(C::ClaimInterface, row.code);
        KvUsbDevice* out = nullptr;
        EXPECT_EQ(enumerator.openDeviceWithStatus(0, &out), row.result);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(usb.openHandleCount(), 0u);

        usb.failCall(C::ClaimInterface, row.code);
        EXPECT_EQ(enumerator.openDevice(0), nullptr);
        EXPECT_EQ(usb.openHandleCount(), 0u);
    }
    EXPECT_EQ(usb.referenceCount(0), 1) << "only the enumerator's own reference remains";
}

TEST_F(UsbEnumerator, OpenedDeviceOutlivesTheEnumerator) {
    const int key = usb.addDevice(withIds(kVendor, kProduct));
    KvUsbDevice* out = nullptr;
    {
        LibUsbEnumerator enumerator(kVendor, kProduct);
        ASSERT_TRUE(enumerator.scan());
        ASSERT_EQ(enumerator.openDeviceWithStatus(0, &out), UsbOpenResult::Ok);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(enumerator.count(), 1u) << "opening changed the list";
    }
    std::unique_ptr<KvUsbDevice> device(out);
    EXPECT_EQ(usb.referenceCount(key), 1) << "the handle's own reference";
    const uint8_t request[8] = {};
    EXPECT_TRUE(device->bulkWrite(0, request, sizeof request));
    EXPECT_EQ(usb.bulkTransfers().size(), 1u);
}

TEST_F(UsbEnumerator, OpensTheDeviceWithZeroLengthPacketsOff) {
    usb.addDevice(withIds(kVendor, kProduct));
    LibUsbEnumerator enumerator(kVendor, kProduct);
    ASSERT_TRUE(enumerator.scan());
    KvUsbDevice* out = nullptr;
    ASSERT_EQ(enumerator.openDeviceWithStatus(0, &out), UsbOpenResult::Ok);
    std::unique_ptr<KvUsbDevice> device(out);

    // Until the session switches them on, a whole packet ends without a zero-length packet.
    const uint8_t packet[64] = {};
    EXPECT_TRUE(device->bulkWrite(0, packet, sizeof packet));
    EXPECT_EQ(usb.bulkTransfers().size(), 1u);
}

// ---- backend entry points ---------------------------------------------------

class UsbBackend : public StandinTest {};

TEST_F(UsbBackend, InitializeAndExitUseTheDefaultContext) {
    EXPECT_TRUE(usbInitialize());
    usbExit();
    usb.failCall(C::Init, LIBUSB_ERROR_OTHER);
    EXPECT_FALSE(usbInitialize());
    EXPECT_EQ(usb.callSequence(), (std::vector<C>{C::Init, C::Exit, C::Init}));

    libusb_context* context = nullptr;
    EXPECT_EQ(libUsbInitialize(&context), 0);
    EXPECT_NE(context, nullptr);
    libUsbExit(context);
}

TEST_F(UsbBackend, EnumeratorFindsTheKeyByItsVendorAndProductId) {
    usb.addDevice(withIds(kKeyVendorId, static_cast<uint16_t>(kKeyProductId + 1)));
    const int key = usb.addDevice(withIds(kKeyVendorId, kKeyProductId));
    usb.addDevice(withIds(static_cast<uint16_t>(kKeyVendorId + 1), kKeyProductId));
    ASSERT_TRUE(usbInitialize());

    std::unique_ptr<KvUsbEnumerator> holder = createUsbEnumerator();
    EXPECT_TRUE(scanUsbDevices(holder));
    EXPECT_EQ(countUsbDevices(holder), 1u);
    EXPECT_EQ(usb.referenceCount(key), 1);

    destroyUsbEnumerator(holder);
    EXPECT_EQ(holder, nullptr);
    EXPECT_EQ(usb.referenceCount(key), 0);
    destroyUsbEnumerator(holder);
    EXPECT_FALSE(scanUsbDevices(holder));
    EXPECT_EQ(countUsbDevices(holder), 0u);
    usbExit();
}

}  // namespace
}  // namespace korvene::testing
