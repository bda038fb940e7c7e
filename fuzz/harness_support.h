#pragma once

// What every harness shares: the invariant check that stops a run, and a quiet
// standard output.

#include <cstdio>
#include <cstdlib>

namespace korvene::testing {

// An invariant that must hold for any input. A broken one is a crash for
// libFuzzer, which keeps the input that broke it.
#define KORVENE_FUZZ_CHECK(condition)                                                       \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            (void)std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, \
                               #condition);                                                 \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

// The tool prints its progress, prompts and trace on standard output; a run
// of millions of inputs sends all of it away. libFuzzer reports on standard
// error, which stays.
inline void silenceStandardOutput() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

}  // namespace korvene::testing
