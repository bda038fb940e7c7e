#pragma once

// Reading the SessionKeys record of a protocol session (protocol_sessions.txt)
// and printing a record, for the key-exchange tests.

#include <string>

#include "device/session/session_keys.h"
#include "tests/support/vector_file.h"

namespace korvene::testing {

// The four members as hexadecimal text, separated by '|', so that a mismatch
// shows which member differs.
inline std::string sessionKeysHex(const SessionKeys& keys) {
    return toHex(keys.reserved0, 16) + "|" + toHex(keys.cipherKey, 16) + "|" + toHex(keys.reserved1, 16) + "|" +
           toHex(keys.initialCounter, 16);
}

// The record a protocol session lists, in the form of sessionKeysHex.
inline std::string expectedSessionKeysHex(const VectorCase& session) {
    return session.at("SessionKeys.reserved0") + "|" + session.at("SessionKeys.cipherKey") + "|" +
           session.at("SessionKeys.reserved1") + "|" + session.at("SessionKeys.initialCounter");
}

}  // namespace korvene::testing
