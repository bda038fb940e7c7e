#pragma once

// The key's side of a protocol session (protocol_sessions.txt) given to the
// virtual key, so that a test that also fixes the host's key pair knows Z and
// the session keys in advance.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/support/vector_file.h"

namespace korvene::testing {

// Fills `to` with the bytes of `hex`, which must be exactly N of them.
template <size_t N>
void setFromHex(std::array<uint8_t, N>& to, const std::string& hex) {
    const std::vector<uint8_t> bytes = fromHex(hex);
    ASSERT_EQ(bytes.size(), N) << hex;
    std::copy(bytes.begin(), bytes.end(), to.begin());
}

// The key answers the key exchange with the private key, tag, nonce and
// reserved bytes of `session`, the nonce as it is rather than a fresh one.
inline void giveKeyTheSessionOf(VirtualKey& key, const VectorCase& session) {
    key.state.privateKey = fromHex(session.at("devicePrivateKey"));
    key.state.deviceTag = fromHex(session.at("KeyExchangeResponse.deviceTag")).at(0);
    setFromHex(key.state.deviceNonce, session.at("KeyExchangeResponse.deviceNonce"));
    setFromHex(key.state.reserved, session.at("KeyExchangeResponse.reserved"));
    key.state.randomNonce = false;
}

}  // namespace korvene::testing
