// wipeBuffer: exactly the given bytes become zero, and length 0 touches nothing.
#include "device/session/wipe.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvene {
namespace {

TEST(WipeBuffer, ZeroFillsExactlyTheGivenBytesAndLengthZeroTouchesNothing) {
    for (const size_t length : {size_t{0}, size_t{1}, size_t{16}, size_t{63}}) {
        SCOPED_TRACE("length " + std::to_string(length));
        std::vector<uint8_t> buffer(length + 2, 0xC3);
        wipeBuffer(buffer.data() + 1, length);
        EXPECT_EQ(buffer.front(), 0xC3);
        for (size_t i = 1; i <= length; ++i) EXPECT_EQ(buffer[i], 0) << "byte " << i;
        EXPECT_EQ(buffer[length + 1], 0xC3) << "wrote past the length";
    }
}

}  // namespace
}  // namespace korvene
