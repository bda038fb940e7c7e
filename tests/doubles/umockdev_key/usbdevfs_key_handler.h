#pragma once

// The emulated key's USB front door: answers the usbdevfs ioctls that libusb
// makes on the key's /dev node (in a child process running under umockdev's
// preload library) by driving the virtual key model. It runs on umockdev's
// worker thread, under the mutex its bus shares with the test.
//
//   bulk OUT URB      one whole transfer for VirtualKey::receive (the host is
//                     told it may submit scatter-gather transfers, so each of
//                     its transfers, zero-length ones included, is one URB)
//   bulk IN URB       packets of the key's queued answers (InPacketStream);
//                     pending while the key has nothing to send, until the host
//                     discards it (that is how a libusb timeout ends)
//   control URB       class reset 0x21/0xFF, GET_STATUS (an endpoint's halt bit)
//   CLEAR_HALT        VirtualKey::clearHalt
//   claim             EBUSY when the key is set to be busy
//   everything        ENODEV once the model's disconnect knob has fired

#include <glib-object.h>
#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "tests/doubles/umockdev_key/in_packet_stream.h"

namespace korvene::testing {

class VirtualKey;

// An answer the key holds back while the test looks at the program that waits
// for it, or sends it a signal. `whileHeld` runs once, on the bus's worker
// thread under the bus's lock (it must not take lockKeys()), when the host
// first asks for the answer to the `occurrence`-th numbered request of
// `command`. The host's thread is then inside the usbdevfs ioctl that asks:
// umockdev's preload blocks every signal of that thread for the ioctl and, as
// it returns, puts the mask back before a last usleep(0). A signal sent from
// `whileHeld` is therefore taken as the mask comes back, and never during that
// sleep, where it would leave EINTR in the ioctl's errno and fail the transfer
// (a real kernel does not).
struct AnswerHold {
    int command = -1;    // CommandCode value; -1: the key holds nothing back
    int occurrence = 1;  // 1-based count among requests of that command
    std::function<void()> whileHeld;
};

// What the USB side of an emulated key does besides the model's own knobs.
struct EmulatedKeyOptions {
    bool claimBusy = false;  // another program holds the interface
    AnswerHold hold;
};

class UsbdevfsKeyHandler {
public:
    UsbdevfsKeyHandler(VirtualKey& key, EmulatedKeyOptions options, std::mutex& mutex);
    ~UsbdevfsKeyHandler();
    UsbdevfsKeyHandler(const UsbdevfsKeyHandler&) = delete;
    UsbdevfsKeyHandler& operator=(const UsbdevfsKeyHandler&) = delete;

    // The umockdev ioctl handler to attach to the key's /dev node.
    UMockdevIoctlBase* ioctlBase() const { return base; }

private:
    struct DataUnref {
        void operator()(UMockdevIoctlData* data) const { g_object_unref(data); }
    };
    using DataRef = std::unique_ptr<UMockdevIoctlData, DataUnref>;

    // A submitted URB and its buffer, resolved in the client's memory and kept
    // until the host reaps it.
    struct Urb {
        DataRef urb;
        DataRef buffer;  // null for a zero-length buffer
    };

    static gboolean onIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
    // Answers one ioctl: the result and errno to complete it with.
    void handle(UMockdevIoctlClient* client, long& result, int& error);

    int submit(UMockdevIoctlData* argument);
    void runControl(Urb& urb);
    void runBulkOut(Urb& urb);
    int reap(UMockdevIoctlData* argument);
    int discard(unsigned long clientAddress);
    // Serves pending IN URBs, oldest first, from the key's queued answers,
    // once a hold that is due has run.
    void serveWaiting();
    // True once the key is unplugged and has nothing left to send.
    bool goneForReads() const;

    VirtualKey& key;
    EmulatedKeyOptions options;
    std::mutex& mutex;
    UMockdevIoctlBase* base = nullptr;
    InPacketStream inStream;
    // Bulk URBs the key has not answered yet, oldest first: IN URBs of the
    // frame endpoint wait for answers; URBs of the key's other endpoints wait
    // for ever, since nothing travels there.
    std::deque<Urb> waiting;
    std::deque<Urb> completed;  // ready to be reaped, in completion order
    Urb lastReaped;             // kept until the next reap has completed
    bool holdDue = false;       // the key has taken the request whose answer it holds
};

}  // namespace korvene::testing
