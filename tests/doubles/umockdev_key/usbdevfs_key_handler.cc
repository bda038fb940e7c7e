#include "tests/doubles/umockdev_key/usbdevfs_key_handler.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include "tests/doubles/usb_requests.h"
#include "tests/doubles/virtual_key/virtual_key.h"

namespace korvene::testing {
namespace {

constexpr size_t kSetupPacketSize = 8;

// Each of the host's bulk transfers arrives as one URB, whatever its length.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_ZERO_PACKET;

struct SetupPacket {
    uint8_t requestType;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

SetupPacket parseSetup(const uint8_t* bytes) {
    return {bytes[0], bytes[1], static_cast<uint16_t>(bytes[2] | bytes[3] << 8),
            static_cast<uint16_t>(bytes[4] | bytes[5] << 8), static_cast<uint16_t>(bytes[6] | bytes[7] << 8)};
}

usbdevfs_urb& urbOf(UMockdevIoctlData* data) { return *reinterpret_cast<usbdevfs_urb*>(data->data); }

uint8_t* bytesOf(UMockdevIoctlData* data) {
    return data != nullptr ? static_cast<uint8_t*>(static_cast<void*>(data->data)) : nullptr;
}

}  // namespace

UsbdevfsKeyHandler::UsbdevfsKeyHandler(VirtualKey& key, EmulatedKeyOptions options, std::mutex& mutex)
    : key(key),
      options(std::move(options)),
      mutex(mutex),
      base(umockdev_ioctl_base_new()),
      inStream(kVirtualMaxPacket) {
    g_signal_connect(base, "handle-ioctl", G_CALLBACK(&UsbdevfsKeyHandler::onIoctl), this);
}

UsbdevfsKeyHandler::~UsbdevfsKeyHandler() {
    g_signal_handlers_disconnect_by_data(base, this);
    g_object_unref(base);
}

gboolean UsbdevfsKeyHandler::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    long result = 0;
    int error = 0;
    {
        auto* handler = static_cast<UsbdevfsKeyHandler*>(self);
        std::lock_guard<std::mutex> lock(handler->mutex);
        handler->handle(client, result, error);
    }
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

void UsbdevfsKeyHandler::handle(UMockdevIoctlClient* client, long& result, int& error) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    auto finish = [&](int errorNumber) {
        result = errorNumber == 0 ? 0 : -1;
        error = errorNumber;
    };

    // What the host may still do with a key that is gone: collect and cancel
    // its URBs, and read the answers the key had sent before.
    switch (request) {
    case USBDEVFS_SUBMITURB:
        return finish(submit(argument));
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return finish(reap(argument));
    case USBDEVFS_DISCARDURB:
        // The argument is the URB's address in the client itself.
        return finish(discard(*reinterpret_cast<const unsigned long*>(argument->data)));
    default:
        break;
    }
    if (key.disconnected()) {
        return finish(ENODEV);
    }

    const size_t size = _IOC_SIZE(request);
    GError* failure = nullptr;
    DataRef data(size > 0 ? umockdev_ioctl_data_resolve(argument, 0, size, &failure) : nullptr);
    if (failure != nullptr) {
        g_error_free(failure);
        return finish(EFAULT);
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        *reinterpret_cast<uint32_t*>(data->data) = kCapabilities;
        return finish(0);
    case USBDEVFS_GETDRIVER:  // no kernel driver is bound to the key
    case USBDEVFS_IOCTL:      // nor can one be attached again
        return finish(ENODATA);
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: {
        // Both begin with the interface number.
        const unsigned int interfaceNumber = *reinterpret_cast<const unsigned int*>(data->data);
        if (interfaceNumber != 0) {
            return finish(ENOENT);
        }
        return finish(options.claimBusy ? EBUSY : 0);
    }
    case USBDEVFS_RELEASEINTERFACE:
        return finish(0);
    case USBDEVFS_CLEAR_HALT: {
        const unsigned int endpoint = *reinterpret_cast<const unsigned int*>(data->data);
        const uint8_t address = static_cast<uint8_t>(endpoint);
        if (!key.hasEndpoint(address)) {
            return finish(ENOENT);
        }
        return finish(key.clearHalt(address) ? 0 : EPIPE);
    }
    default:
        return finish(ENOTTY);
    }
}

int UsbdevfsKeyHandler::submit(UMockdevIoctlData* argument) {
    GError* failure = nullptr;
    DataRef urbData(umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_urb), &failure));
    if (failure != nullptr) {
        g_error_free(failure);
        return EFAULT;
    }
    usbdevfs_urb& urb = urbOf(urbData.get());
    if (urb.buffer_length < 0) {
        return EINVAL;
    }
    DataRef buffer;
    if (urb.buffer_length > 0) {
        buffer.reset(umockdev_ioctl_data_resolve(urbData.get(), offsetof(usbdevfs_urb, buffer),
                                                 static_cast<gsize>(urb.buffer_length), &failure));
        if (failure != nullptr) {
            g_error_free(failure);
            return EFAULT;
        }
    }
    urb.status = 0;
    urb.actual_length = 0;
    Urb submitted{std::move(urbData), std::move(buffer)};

    const bool in = (urb.endpoint & usb::DirectionIn) != 0;
    if (key.disconnected() && !(urb.type == USBDEVFS_URB_TYPE_BULK && in)) {
        return ENODEV;
    }
    switch (urb.type) {
    case USBDEVFS_URB_TYPE_CONTROL:
        if (urb.buffer_length < static_cast<int>(kSetupPacketSize)) {
            return EINVAL;
        }
        runControl(submitted);
        completed.push_back(std::move(submitted));
        return 0;
    case USBDEVFS_URB_TYPE_BULK:
        if (!key.hasEndpoint(urb.endpoint)) {
            return ENOENT;
        }
        if (!in && urb.endpoint == key.state.outEndpoints.front()) {
            runBulkOut(submitted);
            completed.push_back(std::move(submitted));
        } else {
            waiting.push_back(std::move(submitted));
            serveWaiting();
        }
        return 0;
    default:
        return EINVAL;  // the key has no interrupt or isochronous endpoint
    }
}

void UsbdevfsKeyHandler::runControl(Urb& urb) {
    usbdevfs_urb& fields = urbOf(urb.urb.get());
    uint8_t* bytes = bytesOf(urb.buffer.get());
    const SetupPacket setup = parseSetup(bytes);
    uint8_t* data = bytes + kSetupPacketSize;
    const size_t room = static_cast<size_t>(fields.buffer_length) - kSetupPacketSize;
    const uint16_t length = static_cast<uint16_t>(std::min<size_t>(setup.length, room));
    const int answered = key.controlRequest(setup.requestType, setup.request, setup.value, setup.index, length, data);
    const bool accepted = answered >= 0 && setup.length <= room;
    // The key stalls every other request, and a request it refuses.
    fields.status = accepted ? 0 : -EPIPE;
    fields.actual_length = accepted ? answered : 0;
}

void UsbdevfsKeyHandler::runBulkOut(Urb& urb) {
    usbdevfs_urb& fields = urbOf(urb.urb.get());
    const size_t length = static_cast<size_t>(fields.buffer_length);
    const size_t numberedBefore = key.numberedRequests();
    key.receive(bytesOf(urb.buffer.get()), length);
    const AnswerHold& hold = options.hold;
    if (hold.command >= 0 && key.numberedRequests() > numberedBefore &&
        key.requests.back().command == hold.command &&
        key.countRequests(static_cast<uint8_t>(hold.command)) == static_cast<size_t>(hold.occurrence)) {
        holdDue = true;
    }
    if ((fields.flags & USBDEVFS_URB_ZERO_PACKET) != 0 && length > 0 && length % kVirtualMaxPacket == 0) {
        key.receive(nullptr, 0);
    }
    fields.status = 0;
    fields.actual_length = fields.buffer_length;
}

void UsbdevfsKeyHandler::serveWaiting() {
    if (holdDue) {
        holdDue = false;
        if (options.hold.whileHeld) options.hold.whileHeld();
    }
    const uint8_t frameEndpoint = key.state.inEndpoints.empty() ? 0 : key.state.inEndpoints.front();
    const InPacketStream::TransferSource source = [this]() -> std::optional<std::vector<uint8_t>> {
        if (!key.hasResponse()) {
            return std::nullopt;
        }
        return key.takeResponse();
    };
    for (auto it = waiting.begin(); it != waiting.end();) {
        usbdevfs_urb& fields = urbOf(it->urb.get());
        if (fields.endpoint != frameEndpoint) {
            ++it;
            continue;
        }
        const std::optional<InPacketStream::Completion> done =
            inStream.fill(bytesOf(it->buffer.get()), static_cast<size_t>(fields.buffer_length), source);
        if (!done) {
            return;  // later URBs of that endpoint wait behind this one
        }
        fields.status = done->status;
        fields.actual_length = static_cast<int>(done->length);
        completed.push_back(std::move(*it));
        it = waiting.erase(it);
    }
}

bool UsbdevfsKeyHandler::goneForReads() const {
    return key.disconnected() && !key.hasResponse() && !inStream.midTransfer();
}

int UsbdevfsKeyHandler::reap(UMockdevIoctlData* argument) {
    serveWaiting();
    if (completed.empty()) {
        return goneForReads() && !waiting.empty() ? ENODEV : EAGAIN;
    }
    GError* failure = nullptr;
    DataRef slot(umockdev_ioctl_data_resolve(argument, 0, sizeof(void*), &failure));
    if (failure != nullptr) {
        g_error_free(failure);
        return EFAULT;
    }
    // The client's pointer slot receives the URB's own address, and the URB's
    // status, length and buffer go back to the client with it.
    lastReaped = std::move(completed.front());
    completed.pop_front();
    umockdev_ioctl_data_set_ptr(slot.get(), 0, lastReaped.urb.get());
    return 0;
}

int UsbdevfsKeyHandler::discard(unsigned long clientAddress) {
    const auto it = std::find_if(waiting.begin(), waiting.end(),
                                 [&](const Urb& urb) { return urb.urb->client_addr == clientAddress; });
    if (it == waiting.end()) {
        return EINVAL;  // already completed, or never submitted
    }
    usbdevfs_urb& fields = urbOf(it->urb.get());
    fields.status = -ENOENT;
    fields.actual_length = 0;
    completed.push_back(std::move(*it));
    waiting.erase(it);
    return 0;
}

}  // namespace korvene::testing
