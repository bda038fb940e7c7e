// The wipes of the session layer: wipeBuffer zero-fills exactly the given bytes;
// wipeDeadStack leaves no trace of a secret that a returned function left on the
// stack, as deep as it promises; wipeVectorRegisters zeroes every vector
// register the processor has.
#include "device/session/wipe.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/secret_search.h"

namespace korvene {
namespace {

using testing::kDeadStackSearchTop;
using testing::secretOf;
using testing::secretsLeftOnDeadStack;

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

// ---- the dead stack ----

// A secret in read-only data, which no search looks at; only the function
// below copies it onto the stack.
constexpr uint8_t kStackSecret[48] = {
    0x5a, 0x13, 0x65, 0xb3, 0x47, 0x32, 0x1e, 0x9f, 0x51, 0x1b, 0x39, 0x10, 0x13, 0xbb, 0x82, 0xe8,
    0x31, 0xa0, 0xdb, 0xda, 0x47, 0x09, 0xf1, 0x17, 0x9e, 0x02, 0x65, 0x48, 0x75, 0x43, 0x0f, 0x6d,
    0x0c, 0x8d, 0xe6, 0x24, 0x23, 0x65, 0xf1, 0x4d, 0x4b, 0xc9, 0x77, 0xba, 0xaf, 0x62, 0x09, 0x85,
};

// Handles the secret in a buffer of its own frame and returns without wiping
// it, as a library routine does: the copy stays where the frame was.
__attribute__((noinline)) void leaveTheSecretInADeadFrame() {
    uint8_t copy[sizeof(kStackSecret)];
    std::memcpy(copy, kStackSecret, sizeof(copy));
    __asm__ __volatile__("" : : "r"(copy) : "memory");
}

struct DeadStackCase {
    const char* name;
    size_t depth;  // how far below the searching frame the secret is left
    bool wiped;    // wipeDeadStack runs after the function has returned
};

void PrintTo(const DeadStackCase& c, std::ostream* os) { *os << c.name; }

class DeadStackAfterAReturnedFunction : public ::testing::TestWithParam<DeadStackCase> {};

// The unwiped rows show that the search sees the secret where the wiped rows
// look for it: just below the caller and near the end of what the wipe covers.
TEST_P(DeadStackAfterAReturnedFunction, HoldsTheSecretUnlessWipeDeadStackRan) {
    if (const char* reason = testing::whyFramesAreOffTheStack()) GTEST_SKIP() << reason;
    const DeadStackCase& c = GetParam();
    const std::vector<std::string> found =
        secretsLeftOnDeadStack(leaveTheSecretInADeadFrame, c.depth, c.wiped ? wipeDeadStack : nullptr,
                               {secretOf("the secret", {std::begin(kStackSecret), std::end(kStackSecret)})});
    if (c.wiped) {
        EXPECT_TRUE(found.empty()) << "left after wipeDeadStack: " << ::testing::PrintToString(found);
    } else {
        EXPECT_FALSE(found.empty()) << "the search did not see the secret the function left";
    }
}

// The deep rows leave the secret this far below, so that its frame still lies
// within kDeadStackWipeSize of the caller.
constexpr size_t kNearTheEndOfTheWipe = kDeadStackWipeSize - size_t{4} * 1024;

const DeadStackCase kDeadStackCases[] = {
    {"UnwipedJustBelowTheCaller", kDeadStackSearchTop, false},
    {"UnwipedNearTheEndOfTheWipedSize", kNearTheEndOfTheWipe, false},
    {"WipedJustBelowTheCaller", kDeadStackSearchTop, true},
    {"WipedNearTheEndOfTheWipedSize", kNearTheEndOfTheWipe, true},
};

INSTANTIATE_TEST_SUITE_P(Depths, DeadStackAfterAReturnedFunction, ::testing::ValuesIn(kDeadStackCases),
                         [](const ::testing::TestParamInfo<DeadStackCase>& info) { return std::string(info.param.name); });

// ---- the vector registers ----

#if defined(__x86_64__)

// The widest vector registers this processor and system have, chosen as
// wipeVectorRegisters chooses them.
constexpr size_t kMostRegisters = 32;
constexpr size_t kWidestRegister = 64;
using RegisterFile = uint8_t[kMostRegisters][kWidestRegister];

// What the assembly below reads, at offsets 0, 8 and 16, through the one
// register it is given.
struct RegisterCall {
    const RegisterFile* pattern;
    RegisterFile* readBack;
    void (*between)();
};
static_assert(sizeof(RegisterCall) == 24);

// Each loads `pattern` into every register of its kind, calls `between`, and
// stores every register into `readBack`, in one piece of assembly, so that no
// compiled code touches a register between the load, the call and the store.
// The call is made with the stack aligned and below the red zone; the pointers
// are taken from a RegisterCall into callee-saved registers, which keep them
// across it.
#define KV_REPEAT16(M) M(0) M(1) M(2) M(3) M(4) M(5) M(6) M(7) M(8) M(9) M(10) M(11) M(12) M(13) M(14) M(15)
#define KV_REPEAT32(M)                                                                                     \
    KV_REPEAT16(M) M(16) M(17) M(18) M(19) M(20) M(21) M(22) M(23) M(24) M(25) M(26) M(27) M(28) M(29) M(30) \
    M(31)
#define KV_CALL_BETWEEN                                                    \
    "mov %%rsp, %%r15\n\tsub $128, %%rsp\n\tand $-64, %%rsp\n\tcall *%%r14\n\t" \
    "mov %%r15, %%rsp\n\t"
#define KV_OPERANDS(call) : : [call] "r"(&(call))
#define KV_CLOBBERED_GENERAL \
    "rax", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15", "memory", "cc"
#define KV_CLOBBERED_XMM16                                                                                     \
    "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", \
        "xmm13", "xmm14", "xmm15"
#define KV_SETUP "mov 0(%[call]), %%r12\n\tmov 8(%[call]), %%r13\n\tmov 16(%[call]), %%r14\n\t"

// Defines one of the three: `name` with `attributes`, over the `REPEAT`
// registers that `LOAD` loads and `STORE` stores; the clobbers beyond xmm0 to
// xmm15 follow.
#define KV_DEFINE_AROUND(name, attributes, REPEAT, LOAD, STORE, ...)                                      \
    attributes void name(const RegisterFile& pattern, RegisterFile& readBack, void (*between)()) {      \
        const RegisterCall call{&pattern, &readBack, between};                                          \
        __asm__ __volatile__(KV_SETUP REPEAT(LOAD) KV_CALL_BETWEEN REPEAT(STORE) KV_OPERANDS(call)       \
                             : KV_CLOBBERED_GENERAL, KV_CLOBBERED_XMM16 __VA_OPT__(, ) __VA_ARGS__);       \
    }

#define KV_LOAD_ZMM(n) "vmovdqu64 " #n "*64(%%r12), %%zmm" #n "\n\t"
#define KV_STORE_ZMM(n) "vmovdqu64 %%zmm" #n ", " #n "*64(%%r13)\n\t"
KV_DEFINE_AROUND(aroundZmm, __attribute__((target("avx512f"), noinline)), KV_REPEAT32, KV_LOAD_ZMM, KV_STORE_ZMM,
                 "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26",
                 "xmm27", "xmm28", "xmm29", "xmm30", "xmm31", "k1", "k2", "k3", "k4", "k5", "k6", "k7")

#define KV_LOAD_YMM(n) "vmovdqu " #n "*64(%%r12), %%ymm" #n "\n\t"
#define KV_STORE_YMM(n) "vmovdqu %%ymm" #n ", " #n "*64(%%r13)\n\t"
KV_DEFINE_AROUND(aroundYmm, __attribute__((target("avx"), noinline)), KV_REPEAT16, KV_LOAD_YMM, KV_STORE_YMM)

#define KV_LOAD_XMM(n) "movdqu " #n "*64(%%r12), %%xmm" #n "\n\t"
#define KV_STORE_XMM(n) "movdqu %%xmm" #n ", " #n "*64(%%r13)\n\t"
KV_DEFINE_AROUND(aroundXmm, __attribute__((noinline)), KV_REPEAT16, KV_LOAD_XMM, KV_STORE_XMM)

struct VectorRegisters {
    const char* name;
    size_t count;
    size_t width;
    void (*around)(const RegisterFile&, RegisterFile&, void (*)());
};

VectorRegisters vectorRegistersOfThisProcessor() {
    if (__builtin_cpu_supports("avx512f")) return {"zmm", 32, 64, aroundZmm};
    if (__builtin_cpu_supports("avx")) return {"ymm", 16, 32, aroundYmm};
    return {"xmm", 16, 16, aroundXmm};
}

__attribute__((noinline)) void callNothing() { __asm__ __volatile__(""); }

struct RegisterCase {
    const char* name;
    void (*between)();
    bool patternKept;  // else every register reads back as zero
};

void PrintTo(const RegisterCase& c, std::ostream* os) { *os << c.name; }

class VectorRegistersAroundACall : public ::testing::TestWithParam<RegisterCase> {};

// The row that calls nothing shows that the pattern is loaded and read back
// in every register the other row looks at.
TEST_P(VectorRegistersAroundACall, HoldTheirPatternUnlessWipeVectorRegistersZeroedThem) {
    const RegisterCase& c = GetParam();
    const VectorRegisters registers = vectorRegistersOfThisProcessor();
    RecordProperty("registers", registers.name);
    alignas(64) RegisterFile pattern;
    alignas(64) RegisterFile readBack;
    for (size_t r = 0; r < kMostRegisters; ++r) {
        for (size_t b = 0; b < kWidestRegister; ++b) pattern[r][b] = static_cast<uint8_t>(0x80 | (r + 3 * b));
    }
    std::memset(readBack, 0xEE, sizeof(readBack));

    registers.around(pattern, readBack, c.between);

    const std::vector<uint8_t> zeros(registers.width, 0);
    for (size_t r = 0; r < registers.count; ++r) {
        const std::string name = registers.name + std::to_string(r);
        if (c.patternKept) {
            EXPECT_EQ(std::memcmp(readBack[r], pattern[r], registers.width), 0) << name << " lost its pattern";
        } else {
            EXPECT_EQ(std::memcmp(readBack[r], zeros.data(), registers.width), 0)
                << name << (std::memcmp(readBack[r], pattern[r], registers.width) == 0 ? " still holds its pattern"
                                                                                         : " is not zero");
        }
    }
}

const RegisterCase kRegisterCases[] = {
    {"NothingCalled", callNothing, true},
    {"WipeVectorRegistersCalled", wipeVectorRegisters, false},
};

INSTANTIATE_TEST_SUITE_P(Calls, VectorRegistersAroundACall, ::testing::ValuesIn(kRegisterCases),
                         [](const ::testing::TestParamInfo<RegisterCase>& info) { return std::string(info.param.name); });

#else

TEST(VectorRegistersAroundACall, HoldTheirPatternUnlessWipeVectorRegistersZeroedThem) {
    GTEST_SKIP() << "the registers are loaded and read with x86-64 assembly; elsewhere wipeVectorRegisters "
                    "does nothing";
}

#endif

}  // namespace
}  // namespace korvene
