#include "device/session/wipe.h"

#include <string.h>

namespace korvene {

void wipeBuffer(void* buffer, size_t length) {
    if (length == 0) return;
    // explicit_bzero is never optimised away, unlike a memset before a free.
    explicit_bzero(buffer, length);
}

// Not inlined, so that the area is a frame of its own right below the caller's.
__attribute__((noinline)) void wipeDeadStack() {
    unsigned char area[kDeadStackWipeSize];
    explicit_bzero(area, sizeof(area));
    // The area's address escapes to the assembler, so the stores stand even
    // for a compiler that could see through explicit_bzero.
    __asm__ __volatile__("" : : "r"(area) : "memory");
}

#if defined(__x86_64__)
namespace {

__attribute__((target("avx512f"), noinline)) void zeroZmmRegisters() {
    __asm__ __volatile__(
        "vpxord %%zmm0, %%zmm0, %%zmm0\n\tvpxord %%zmm1, %%zmm1, %%zmm1\n\t"
        "vpxord %%zmm2, %%zmm2, %%zmm2\n\tvpxord %%zmm3, %%zmm3, %%zmm3\n\t"
        "vpxord %%zmm4, %%zmm4, %%zmm4\n\tvpxord %%zmm5, %%zmm5, %%zmm5\n\t"
        "vpxord %%zmm6, %%zmm6, %%zmm6\n\tvpxord %%zmm7, %%zmm7, %%zmm7\n\t"
        "vpxord %%zmm8, %%zmm8, %%zmm8\n\tvpxord %%zmm9, %%zmm9, %%zmm9\n\t"
        "vpxord %%zmm10, %%zmm10, %%zmm10\n\tvpxord %%zmm11, %%zmm11, %%zmm11\n\t"
        "vpxord %%zmm12, %%zmm12, %%zmm12\n\tvpxord %%zmm13, %%zmm13, %%zmm13\n\t"
        "vpxord %%zmm14, %%zmm14, %%zmm14\n\tvpxord %%zmm15, %%zmm15, %%zmm15\n\t"
        "vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
        "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
        "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
        "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
        "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
        "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
        "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
        "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31\n\t"
        // Leaves the upper halves clean for the SSE code that follows.
        "vzeroupper"
        :
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
          "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22",
          "xmm23", "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}

__attribute__((target("avx"), noinline)) void zeroYmmRegisters() {
    __asm__ __volatile__("vzeroall"
                         :
                         :
                         : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
                           "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}

__attribute__((noinline)) void zeroXmmRegisters() {
    __asm__ __volatile__(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
        "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
        "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
        "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15"
        :
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
          "xmm12", "xmm13", "xmm14", "xmm15");
}

}  // namespace

void wipeVectorRegisters() {
    // These ask the processor and whether the system saves the wider state
    // (XCR0), so an instruction the system would fault on is never used.
    if (__builtin_cpu_supports("avx512f")) {
        zeroZmmRegisters();
    } else if (__builtin_cpu_supports("avx")) {
        zeroYmmRegisters();
    } else {
        zeroXmmRegisters();
    }
}
#else
void wipeVectorRegisters() {}
#endif

}  // namespace korvene
