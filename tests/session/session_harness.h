#pragma once

// What the session tests share: a platform whose clock and kernel release the
// test chooses, a peer that gives a session established keys without a key
// exchange, a harness that opens a session on the virtual key, and the ways
// to spoil the key's answers.

#include <sys/utsname.h>
#include <time.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/session/key_session.h"
#include "device/session/session_keys.h"
#include "device/session/session_platform.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/doubles/virtual_key/virtual_key_device.h"
#include "tests/doubles/virtual_key/virtual_key_enumerator.h"

namespace korvene::testing {

// A clock that reads `nowMs` and then moves it on by `stepMs`, and a uname that
// answers `release` (or fails with `unameResult`).
class FakeSessionPlatform final : public SessionPlatform {
public:
    uint64_t nowMs = 1000;
    uint32_t stepMs = 1;  // never 0 by default: a loop on the clock must end
    int unameResult = 0;
    std::string release = "6.1.0-13-amd64";
    size_t clockReads = 0;

    void monotonicTime(timespec* now) override {
        ++clockReads;
        now->tv_sec = static_cast<time_t>(nowMs / 1000);
        now->tv_nsec = static_cast<long>(nowMs % 1000) * 1000000L;
        nowMs += stepMs;
    }

    int kernelName(utsname* name) override {
        if (unameResult != 0) return unameResult;
        std::memset(name, 0, sizeof(*name));
        std::strncpy(name->release, release.c_str(), sizeof(name->release) - 1);
        return 0;
    }
};

class KeySessionTestPeer {
public:
    // What a successful key exchange leaves: the record and, when `secure`,
    // the flag.
    static void installKeys(KeySession& session, const SessionKeys& keys, bool secure = true) {
        session.keys.reset(new SessionKeys(keys));
        session.secure = secure ? 1 : 0;
    }
    static void setSequence(KeySession& session, uint32_t sequence) { session.sequence = sequence; }
};

// A session on the virtual key, opened through the enumerator double, with the
// fake platform installed.
struct SessionHarness {
    VirtualKey key;
    VirtualKeyEnumerator enumerator{key};
    FakeSessionPlatform platform;
    std::unique_ptr<KeySession> session;

    SessionHarness() { enumerator.scan(); }

    // Opens the session; false (and a null session) when the open fails.
    bool open() {
        session = KeySession::create(enumerator, 0);
        if (session) session->setPlatform(&platform);
        return session != nullptr;
    }

    // The device the session owns.
    VirtualKeyDevice& device() { return *enumerator.lastOpened; }

    // Secure messaging on both sides with the same record.
    void establish(const SessionKeys& keys) {
        KeySessionTestPeer::installKeys(*session, keys);
        key.state.keys = keys;
    }
};

// A fault on the answers to `command` (-1: every command).
inline ResponseFault answerFault(int command, ResponseFault::Kind kind, uint8_t wireStatus = 0,
                                 size_t payloadLength = 0) {
    ResponseFault fault;
    fault.command = command;
    fault.kind = kind;
    fault.wireStatus = wireStatus;
    fault.payloadLength = payloadLength;
    return fault;
}

// One GetInfo request that the key refuses with `wireStatus` (not 0), so that
// the session's last wire status holds that raw code when the next exchange
// begins. Returns the last wire status afterwards.
inline uint8_t leaveLastWireStatus(SessionHarness& h, uint8_t wireStatus) {
    const std::vector<ResponseFault> faults = h.key.knobs.faults;
    h.key.knobs.faults = {answerFault(-1, ResponseFault::Kind::WireStatus, wireStatus)};
    h.session->transact(CommandCode::GetInfo, false, 0);
    h.key.knobs.faults = faults;
    return h.session->lastWireStatus();
}

// A record with distinct bytes in every member.
inline SessionKeys sampleKeys() {
    SessionKeys keys{};
    for (int i = 0; i < 16; ++i) {
        keys.reserved0[i] = static_cast<uint8_t>(0x10 + i);
        keys.cipherKey[i] = static_cast<uint8_t>(0x20 + i);
        keys.reserved1[i] = static_cast<uint8_t>(0x30 + i);
        keys.initialCounter[i] = static_cast<uint8_t>(0x40 + i);
    }
    return keys;
}

}  // namespace korvene::testing
