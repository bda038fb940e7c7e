#pragma once

// A KeySession opened and initialised on the virtual key through its
// in-process front door, as the updater's start-up leaves it for the update
// flow, and a readable summary of the requests the key received.

#include <cstddef>
#include <memory>
#include <string>

#include "device/session/key_session.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/doubles/virtual_key/virtual_key_enumerator.h"

namespace korvene::testing {

struct VirtualKeySession {
    VirtualKey key;
    VirtualKeyEnumerator enumerator{key};
    std::unique_ptr<KeySession> session;
    // Numbered requests the key had received when open() returned.
    size_t requestsAtStart = 0;

    // Scans, creates the session on device 0 and initialises it. False when any
    // step fails.
    bool open();
    // The numbered requests since open() returned, by command name, a run of
    // one command written once with its count ("WriteFirmware*14").
    std::string requestsSinceOpen() const;
};

}  // namespace korvene::testing
