#pragma once

#include <cstddef>

namespace korvene {

// Zero-fills `length` bytes at `buffer` in a way the compiler cannot drop, even
// when the storage is released right afterwards. Length 0 touches nothing.
void wipeBuffer(void* buffer, size_t length);

// How far below its caller's frame wipeDeadStack zero-fills the stack.
inline constexpr size_t kDeadStackWipeSize = size_t{64} * 1024;

// Zero-fills the kDeadStackWipeSize bytes of the calling thread's stack just
// below the caller's frame: what functions that have returned left there (a
// secret copied through a local buffer, vector registers saved by the dynamic
// linker on a first call, a signal frame). Nothing the caller still uses lies
// there. Call it from a frame at most a few levels above where the secret was
// handled, on a thread whose stack has that much room left.
void wipeDeadStack();

// Zero-fills the processor's vector registers: on x86-64 every register the
// processor and the system have (zmm0 to zmm31 with AVX-512, ymm0 to ymm15
// with AVX, else xmm0 to xmm15), which the C library's copy and compare
// routines pass data through and little else overwrites. Elsewhere it does
// nothing. Every vector register is caller-saved, so no caller loses a value.
void wipeVectorRegisters();

}  // namespace korvene
