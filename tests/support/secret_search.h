#pragma once

// Searches for what a secret leaves behind once the code that handled it has
// returned: on the dead stack below a frame, and in the writable memory of
// this process. A place holds a secret when it holds any kSecretPieceSize
// consecutive bytes of it (all of it when it is shorter), so that a wipe that
// spares a few bytes does not hide the rest.
//
// The search keeps each secret only bit-inverted and compares memory inverted
// against it, so that its own copy of a secret is never a match, wherever that
// copy lies. A test keeps its plain copies where no search looks: in read-only
// data, or on its own stack above the searched area, wiped after use.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "device/session/wipe.h"

namespace korvene::testing {

inline constexpr size_t kSecretPieceSize = 8;

struct Secret {
    std::string name;
    std::vector<uint8_t> inverted;  // every byte of the secret, bit-inverted
};

// A secret made from its plain bytes; the pointer form makes no plain copy.
Secret secretOf(std::string name, const uint8_t* plain, size_t length);
inline Secret secretOf(std::string name, const std::vector<uint8_t>& plain) {
    return secretOf(std::move(name), plain.data(), plain.size());
}

// The searched part of the dead stack, in bytes below the frame of
// secretsLeftOnDeadStack: the top kDeadStackSearchTop bytes are left to the
// calls it makes itself after `leave` has returned, and the search reaches
// down as far as the session's dead-stack wipe does.
inline constexpr size_t kDeadStackSearchTop = size_t{4} * 1024;
inline constexpr size_t kDeadStackSearchBottom = kDeadStackWipeSize;

// Why the frames of this run do not lie on the thread's stack, so that there is
// no dead stack to search: the address sanitizer's stack for use after return
// holds them when its option detect_stack_use_after_return is on. nullptr when
// they do lie there; a test that searches the dead stack skips otherwise.
const char* whyFramesAreOffTheStack();

// Zero-fills the searched area, runs `leave` with its frames `depth` bytes
// (at least kDeadStackSearchTop) below this call's frame, then `after`, if
// any, from this call's frame, and returns where pieces of `secrets` lie on the
// searched part of the dead stack, one line a run of consecutive bytes of a
// secret: which secret, which of its bytes, and how far below the frame.
// Nothing it runs after `leave` (`after` included) may reach below the top
// kDeadStackSearchTop bytes, or it would overwrite what it is to read.
std::vector<std::string> secretsLeftOnDeadStack(const std::function<void()>& leave, size_t depth,
                                                const std::function<void()>& after,
                                                const std::vector<Secret>& secrets);

// A writable mapping of a process, as /proc/<pid>/maps lists it.
struct MemoryMapping {
    uintptr_t start = 0;
    uintptr_t end = 0;
    std::string name;  // the file, [heap], [stack], ... or "anonymous"
};

// The writable mappings of process `pid`; 0: of this process.
std::vector<MemoryMapping> writableMappings(pid_t pid = 0);

// Mappings larger than this are address space set aside rather than memory in
// use (a sanitizer's shadow), and the searches skip them.
inline constexpr uintptr_t kLargestSearchedMapping = uintptr_t{1} << 30;

// Returns where pieces of `secrets` lie, in the form of secretsLeftOnDeadStack
// with the address and the mapping, in the writable mappings of this process
// (the heap, the threads' storage, the data of every loaded object), all but
// the calling thread's stack, whose dead part is secretsLeftOnDeadStack's
// business and whose live part holds the test's own copies, and those past
// kLargestSearchedMapping. `searchedBytes` tells how much was read, so that a
// search that read nothing does not pass.
std::vector<std::string> secretsInWritableMemory(const std::vector<Secret>& secrets, size_t& searchedBytes);

// Returns where pieces of `secrets` lie in the `size` bytes at `bytes`, read
// from `address` onwards in `mapping` (of this process or another), in the form
// of secretsInWritableMemory.
std::vector<std::string> secretsInBytes(const uint8_t* bytes, size_t size, uintptr_t address,
                                        const MemoryMapping& mapping, const std::vector<Secret>& secrets);

}  // namespace korvene::testing
