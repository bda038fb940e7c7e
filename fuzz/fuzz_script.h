#pragma once

// The fuzzer's input read front to back as a script of decisions and bytes.
// Once it is used up every read gives zeros, and the harnesses choose their
// encodings so that zero is the healthy choice: an empty input is a run in
// which everything works.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace korvene::testing {

class FuzzScript {
public:
    FuzzScript(const uint8_t* data, size_t size) : data(data), size(size) {}

    // True once every byte has been read.
    bool exhausted() const { return position >= size; }

    uint8_t byte() { return position < size ? data[position++] : 0; }

    // Little-endian, like the key's wire format.
    uint16_t u16() {
        const uint16_t low = byte();
        return static_cast<uint16_t>(low | (byte() << 8));
    }
    uint32_t u32() {
        const uint32_t low = u16();
        return low | (static_cast<uint32_t>(u16()) << 16);
    }

    void bytes(uint8_t* out, size_t count) {
        const size_t available = position < size ? size - position : 0;
        const size_t taken = count < available ? count : available;
        if (taken > 0) std::memcpy(out, data + position, taken);
        if (count > taken) std::memset(out + taken, 0, count - taken);
        position += taken;
    }
    std::vector<uint8_t> bytes(size_t count) {
        std::vector<uint8_t> out(count);
        bytes(out.data(), count);
        return out;
    }

private:
    const uint8_t* data;
    size_t size;
    size_t position = 0;
};

}  // namespace korvene::testing
