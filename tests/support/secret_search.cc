#include "tests/support/secret_search.h"

#include <alloca.h>
#include <string.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#define KORVENE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVENE_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(KORVENE_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#endif

namespace korvene::testing {
namespace {

// One piece of a secret: kSecretPieceSize bytes of it from `offset` (all of it
// when it is shorter), inverted, as a little-endian word.
struct Piece {
    uint64_t inverted = 0;
    uint64_t mask = 0;  // the bytes of a word that the piece covers
    size_t secret = 0;
    size_t offset = 0;
};

// Everything a scan needs, made before anything it reads is left behind.
struct PieceTable {
    // Sorted by mask, then by inverted word: the pieces of one mask (all of
    // them but those of secrets shorter than a piece) are looked up by halving.
    std::vector<Piece> pieces;
    // Whether some piece starts with this plain byte: most of memory holds
    // bytes no piece starts with, and passes with one look.
    bool startsAPiece[256] = {};
};

PieceTable piecesOf(const std::vector<Secret>& secrets) {
    PieceTable table;
    for (size_t s = 0; s < secrets.size(); ++s) {
        const std::vector<uint8_t>& inverted = secrets[s].inverted;
        const size_t run = std::min(kSecretPieceSize, inverted.size());
        for (size_t from = 0; run > 0 && from + run <= inverted.size(); ++from) {
            Piece piece;
            piece.secret = s;
            piece.offset = from;
            for (size_t i = 0; i < run; ++i) {
                piece.inverted |= uint64_t{inverted[from + i]} << (8 * i);
                piece.mask |= uint64_t{0xFF} << (8 * i);
            }
            table.startsAPiece[static_cast<uint8_t>(~inverted[from])] = true;
            table.pieces.push_back(piece);
        }
    }
    // Of equal pieces the first made is found: stable.
    std::stable_sort(table.pieces.begin(), table.pieces.end(), [](const Piece& a, const Piece& b) {
        return a.mask != b.mask ? a.mask < b.mask : a.inverted < b.inverted;
    });
    return table;
}

// The piece that the inverted word `inverted` at some place holds, or null.
// Allocates nothing.
const Piece* pieceAt(const PieceTable& table, uint64_t inverted) {
    const auto end = table.pieces.end();
    for (auto group = table.pieces.begin(); group != end;) {
        const uint64_t mask = group->mask;
        const auto groupEnd =
            std::partition_point(group, end, [mask](const Piece& piece) { return piece.mask == mask; });
        const uint64_t key = inverted & mask;
        const auto match =
            std::partition_point(group, groupEnd, [key](const Piece& piece) { return piece.inverted < key; });
        if (match != groupEnd && match->inverted == key) return &*match;
        group = groupEnd;
    }
    return nullptr;
}

// A run of consecutive bytes of a secret found by a scan.
struct Hit {
    size_t secret = 0;
    size_t offset = 0;  // in the secret
    size_t length = 0;
    uintptr_t address = 0;
};

// Room for the hits of one search; a scan never allocates, and counts what
// does not fit.
constexpr size_t kMostHits = 256;

// Searches [memory, memory + size) for the pieces of `table`. It reads with
// plain loads and allocates nothing, so that on the dead stack nothing it does
// reaches below the top kDeadStackSearchTop bytes it leaves unsearched. It
// reads memory that no object of this program owns (the dead stack, freed heap
// blocks, another library's data), so the address sanitizer's checks are off
// for it.
__attribute__((no_sanitize("address"))) void scan(const uint8_t* memory, size_t size,
                                                  const std::vector<Secret>& secrets, const PieceTable& table,
                                                  std::vector<Hit>& hits, size_t& lostHits) {
    for (size_t at = 0; at + kSecretPieceSize <= size; ++at) {
        if (!table.startsAPiece[memory[at]]) continue;
        uint64_t word = 0;
        for (size_t i = 0; i < kSecretPieceSize; ++i) word |= uint64_t{memory[at + i]} << (8 * i);
        const Piece* piece = pieceAt(table, ~word);
        if (piece == nullptr) continue;
        // The whole run of the secret's bytes from here, for the message.
        const std::vector<uint8_t>& secret = secrets[piece->secret].inverted;
        size_t length = 0;
        while (at + length < size && piece->offset + length < secret.size() &&
               static_cast<uint8_t>(~memory[at + length]) == secret[piece->offset + length]) {
            ++length;
        }
        if (hits.size() < hits.capacity()) {
            hits.push_back({piece->secret, piece->offset, length, reinterpret_cast<uintptr_t>(memory + at)});
        } else {
            ++lostHits;
        }
        at += length - 1;
    }
}

std::string runOfSecret(const std::vector<Secret>& secrets, const Hit& hit) {
    std::ostringstream text;
    text << secrets[hit.secret].name << " bytes " << hit.offset << ".." << hit.offset + hit.length;
    return text.str();
}

void addLostHits(std::vector<std::string>& found, size_t lostHits) {
    if (lostHits > 0) found.push_back("and " + std::to_string(lostHits) + " more runs");
}

// Keeps the area from being optimised away: its address escapes.
void escape(void* area) { __asm__ __volatile__("" : : "r"(area) : "memory"); }

// Zero-fills `size` bytes of the stack just below its caller's frame.
__attribute__((noinline)) void clearStackBelowCaller(size_t size) {
    void* area = alloca(size);
    explicit_bzero(area, size);
    escape(area);
}

// Runs `leave` below a padding frame of `depth` bytes.
__attribute__((noinline)) void runBelowPadding(size_t depth, const std::function<void()>& leave) {
    void* padding = alloca(depth);
    escape(padding);
    leave();
    escape(padding);
}

// The line for a hit found at `address` in `mapping`.
std::string hitInMapping(const std::vector<Secret>& secrets, const Hit& hit, uintptr_t address,
                         const MemoryMapping& mapping) {
    std::ostringstream where;
    where << runOfSecret(secrets, hit) << ", at 0x" << std::hex << address << " in " << mapping.name << " (0x"
          << mapping.start << "-0x" << mapping.end << ")";
    return where.str();
}

}  // namespace

std::vector<MemoryMapping> writableMappings(pid_t pid) {
    std::vector<MemoryMapping> mappings;
    std::ifstream maps(pid == 0 ? std::string("/proc/self/maps") : "/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        // "start-end perms offset device inode path", the addresses in hex.
        MemoryMapping mapping;
        char* rest = nullptr;
        mapping.start = std::strtoull(line.c_str(), &rest, 16);
        if (*rest != '-') continue;
        mapping.end = std::strtoull(rest + 1, &rest, 16);
        if (*rest != ' ' || std::strlen(rest) < 3 || rest[2] != 'w') continue;
        const size_t path = line.find_first_of("/[");
        mapping.name = path == std::string::npos ? "anonymous" : line.substr(path);
        mappings.push_back(std::move(mapping));
    }
    return mappings;
}

Secret secretOf(std::string name, const uint8_t* plain, size_t length) {
    Secret secret{std::move(name), std::vector<uint8_t>(length)};
    for (size_t i = 0; i < length; ++i) secret.inverted[i] = static_cast<uint8_t>(~plain[i]);
    return secret;
}

const char* whyFramesAreOffTheStack() {
#if defined(KORVENE_ADDRESS_SANITIZER)
    if (__asan_get_current_fake_stack() != nullptr) {
        return "the address sanitizer keeps frames on its stack for use after return "
               "(detect_stack_use_after_return)";
    }
#endif
    return nullptr;
}

__attribute__((noinline)) std::vector<std::string> secretsLeftOnDeadStack(const std::function<void()>& leave,
                                                                          size_t depth,
                                                                          const std::function<void()>& after,
                                                                          const std::vector<Secret>& secrets) {
    if (depth < kDeadStackSearchTop || depth >= kDeadStackSearchBottom) {
        ADD_FAILURE() << "depth " << depth << " lies outside the searched part of the dead stack";
        return {};
    }
    const auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const PieceTable table = piecesOf(secrets);
    std::vector<Hit> hits;
    hits.reserve(kMostHits);
    size_t lostHits = 0;

    // What earlier code left there is not this search's business.
    clearStackBelowCaller(kDeadStackSearchBottom + kDeadStackSearchTop);
    runBelowPadding(depth, leave);
    if (after) after();
    scan(reinterpret_cast<const uint8_t*>(frame - kDeadStackSearchBottom),
         kDeadStackSearchBottom - kDeadStackSearchTop, secrets, table, hits, lostHits);

    std::vector<std::string> found;
    found.reserve(hits.size() + 1);
    for (const Hit& hit : hits) {
        found.push_back(runOfSecret(secrets, hit) + ", " + std::to_string(frame - hit.address) +
                        " bytes below the frame");
    }
    addLostHits(found, lostHits);
    return found;
}

std::vector<std::string> secretsInWritableMemory(const std::vector<Secret>& secrets, size_t& searchedBytes) {
    searchedBytes = 0;
    const PieceTable table = piecesOf(secrets);
    const std::vector<MemoryMapping> mappings = writableMappings();
    std::vector<Hit> hits;
    hits.reserve(kMostHits);
    size_t lostHits = 0;
    std::vector<const MemoryMapping*> hitMappings;
    hitMappings.reserve(kMostHits);

    const auto thisStack = reinterpret_cast<uintptr_t>(&table);
    for (const MemoryMapping& mapping : mappings) {
        if (mapping.start <= thisStack && thisStack < mapping.end) continue;
        const uintptr_t size = mapping.end - mapping.start;
        if (size > kLargestSearchedMapping) continue;
        scan(reinterpret_cast<const uint8_t*>(mapping.start), size, secrets, table, hits, lostHits);
        searchedBytes += size;
        hitMappings.resize(hits.size(), &mapping);
    }

    std::vector<std::string> found;
    found.reserve(hits.size() + 1);
    for (size_t i = 0; i < hits.size(); ++i) {
        found.push_back(hitInMapping(secrets, hits[i], hits[i].address, *hitMappings[i]));
    }
    addLostHits(found, lostHits);
    return found;
}

std::vector<std::string> secretsInBytes(const uint8_t* bytes, size_t size, uintptr_t address,
                                        const MemoryMapping& mapping, const std::vector<Secret>& secrets) {
    const PieceTable table = piecesOf(secrets);
    std::vector<Hit> hits;
    hits.reserve(kMostHits);
    size_t lostHits = 0;
    scan(bytes, size, secrets, table, hits, lostHits);

    std::vector<std::string> found;
    found.reserve(hits.size() + 1);
    for (const Hit& hit : hits) {
        found.push_back(hitInMapping(secrets, hit, address + (hit.address - reinterpret_cast<uintptr_t>(bytes)),
                                     mapping));
    }
    addLostHits(found, lostHits);
    return found;
}

}  // namespace korvene::testing
