// Build-time helper that produces the firmware pack embedded in the updater.
//
//   korvene_pack_generator placeholder <pack.bin> [<payload size>]
//       Writes the deterministic placeholder pack: the 24-byte header
//       ("KORVFIRM", header size 24, pack version 2.0, two fixed setup values,
//       payload size 113736) and 113736 pseudo-random payload bytes from a fixed
//       seed. Every run writes the same 113760 bytes. With a payload size (1 or
//       more, decimal), the same pack with that many payload bytes instead, for
//       the test build that checks no test leans on the placeholder's size.
//
//   korvene_pack_generator embed <pack.bin> <out.cc> [--wrong-magic]
//       Turns a pack file into a C++ source that defines kFirmwarePack,
//       kFirmwarePackSize and kBuildIdentifier (the first four bytes of the
//       SHA-256 of the embedded bytes, as eight lower-case hex digits).
//       --wrong-magic alters the pack's magic first, for the test-only build of
//       the updater whose pack must fail its check.
//
// Exit status 0 on success, 1 on any failure (with a message on stderr).
#include <cryptopp/sha.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kPlaceholderPayloadSize = 113736;
constexpr uint32_t kPlaceholderSetupValue1 = 0x00020000;
constexpr uint32_t kPlaceholderSetupValue2 = 0x5EED0001;
constexpr uint64_t kPlaceholderSeed = 0x4B4F5256'4649524DULL;  // "KORVFIRM"
// The magic of the broken pack: the last letter changed, so the check fails at
// the magic and at nothing earlier.
constexpr char kWrongMagicLastByte = 'X';

void putLittleEndian(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// SplitMix64: fully specified here, so the payload does not depend on the
// standard library's generators.
uint64_t nextRandom(uint64_t& state) {
    state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::vector<uint8_t> placeholderPack(uint32_t payloadSize) {
    std::vector<uint8_t> pack;
    pack.reserve(24 + static_cast<size_t>(payloadSize));
    const char magic[] = "KORVFIRM";
    pack.insert(pack.end(), magic, magic + 8);
    putLittleEndian(pack, 24, 2);  // header size
    pack.push_back(2);             // pack version 2.0
    pack.push_back(0);
    putLittleEndian(pack, kPlaceholderSetupValue1, 4);
    putLittleEndian(pack, kPlaceholderSetupValue2, 4);
    putLittleEndian(pack, payloadSize, 4);
    const size_t packSize = 24 + static_cast<size_t>(payloadSize);
    uint64_t state = kPlaceholderSeed;
    while (pack.size() < packSize) {
        const uint64_t word = nextRandom(state);
        for (int i = 0; i < 8 && pack.size() < packSize; ++i) {
            pack.push_back(static_cast<uint8_t>(word >> (8 * i)));
        }
    }
    return pack;
}

bool readFile(const char* path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool writeFile(const char* path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    return static_cast<bool>(out);
}

std::string buildIdentifier(const std::vector<uint8_t>& pack) {
    uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
    CryptoPP::SHA256().CalculateDigest(digest, pack.data(), pack.size());
    char text[9];
    (void)std::snprintf(text, sizeof text, "%02x%02x%02x%02x", digest[0], digest[1], digest[2], digest[3]);
    return text;
}

std::string embeddedSource(const std::vector<uint8_t>& pack, const std::string& origin) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(pack.size() * 5 + 1024);
    out += "// Generated at build time from " + origin + "; do not edit.\n";
    out += "#include \"tool/build_identifier.h\"\n";
    out += "#include \"tool/firmware_pack.h\"\n\n";
    out += "namespace korvene {\n\n";
    out += "alignas(4) const uint8_t kFirmwarePack[] = {\n";
    // An empty pack still needs an array of one element; its size stays 0.
    const size_t elements = pack.empty() ? 1 : pack.size();
    for (size_t i = 0; i < elements; ++i) {
        const uint8_t byte = pack.empty() ? 0 : pack[i];
        out += "0x";
        out += digits[byte >> 4];
        out += digits[byte & 0xF];
        out += (i % 16 == 15 || i + 1 == elements) ? ",\n" : ",";
    }
    out += "};\n";
    out += "const size_t kFirmwarePackSize = " + std::to_string(pack.size()) + ";\n";
    out += "const char kBuildIdentifier[] = \"" + buildIdentifier(pack) + "\";\n\n";
    out += "}  // namespace korvene\n";
    return out;
}

// The header's size field is 32 bits wide, and the updater checks a 32-bit
// pack size: header and payload must fit in it.
constexpr uint32_t kLargestPayloadSize = UINT32_MAX - 24;

// A decimal payload size from 1 to kLargestPayloadSize, digits only.
bool parsePayloadSize(const char* text, uint32_t& size) {
    if (*text == '\0') {
        return false;
    }
    uint64_t value = 0;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(*at - '0');
        if (value > kLargestPayloadSize) {
            return false;
        }
    }
    if (value == 0) {
        return false;
    }
    size = static_cast<uint32_t>(value);
    return true;
}

int fail(const std::string& message) {
    (void)std::fprintf(stderr, "korvene_pack_generator: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "placeholder" && (argc == 3 || argc == 4)) {
        uint32_t payloadSize = kPlaceholderPayloadSize;
        if (argc == 4 && !parsePayloadSize(argv[3], payloadSize)) {
            return fail(std::string("not a payload size of 1 to ") + std::to_string(kLargestPayloadSize) +
                        " bytes: " + argv[3]);
        }
        const std::vector<uint8_t> pack = placeholderPack(payloadSize);
        if (!writeFile(argv[2], pack.data(), pack.size())) {
            return fail(std::string("cannot write ") + argv[2]);
        }
        return 0;
    }
    const bool wrongMagic = argc == 5 && std::strcmp(argv[4], "--wrong-magic") == 0;
    if (mode == "embed" && (argc == 4 || wrongMagic)) {
        std::vector<uint8_t> pack;
        if (!readFile(argv[2], pack)) {
            return fail(std::string("cannot read firmware pack ") + argv[2]);
        }
        // The updater hands the check a 32-bit size.
        if (pack.size() > UINT32_MAX) {
            return fail(std::string("firmware pack is larger than 4 GiB: ") + argv[2]);
        }
        if (wrongMagic) {
            if (pack.size() < 8) {
                pack.resize(8, 0);
            }
            pack[7] = static_cast<uint8_t>(pack[7] == kWrongMagicLastByte ? 'Y' : kWrongMagicLastByte);
        }
        const std::string source =
            embeddedSource(pack, std::filesystem::path(argv[2]).filename().string());
        if (!writeFile(argv[3], source.data(), source.size())) {
            return fail(std::string("cannot write ") + argv[3]);
        }
        return 0;
    }
    return fail("usage: korvene_pack_generator placeholder <pack.bin> [<payload size>] | "
                "embed <pack.bin> <out.cc> [--wrong-magic]");
}
