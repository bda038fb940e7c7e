// The host side of a whole update (installFirmware with the embedded pack:
// the key exchange, SetupUpdate, every WriteFirmware chunk, the digest check,
// DeployFirmware and FinishUpdate) against the in-process virtual key, next to
// the cryptographic floor of the same update.
//
//   korvene_update_benchmark --benchmark_filter=HostSideOfUpdate
//
// The time of HostSideOfUpdate is the host's alone: the time the key spends
// inside its front door (parsing, deciphering, answering, logging) is measured
// on every call and taken out. Its counters are medians over the iterations:
// floor_us (CryptoFloor, run in the same iterations), host_us, key_us (what was
// taken out) and ratio = host_us / floor_us.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/crypto_floor.h"
#include "bench/timed_key_device.h"
#include "device/session/key_session.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tool/firmware_pack.h"
#include "tool/install_firmware.h"

namespace korvene::bench {
namespace {

using Clock = std::chrono::steady_clock;

const uint8_t* embeddedPayload() { return kFirmwarePack + embeddedPackHeader()->headerSize; }

constexpr const char* kSoPin = "123456";

// Sends standard output to /dev/null while it lives, so that the progress
// dots of thousands of updates neither reach the terminal nor cost its time.
class SilencedStdout {
public:
    SilencedStdout() {
        // A failed flush loses nothing the benchmark needs.
        (void)std::fflush(stdout);
        saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    ~SilencedStdout() {
        (void)std::fflush(stdout);
        if (saved >= 0) {
            dup2(saved, STDOUT_FILENO);
            close(saved);
        }
    }
    SilencedStdout(const SilencedStdout&) = delete;
    SilencedStdout& operator=(const SilencedStdout&) = delete;

private:
    int saved = -1;
};

// A fresh key and a session opened on it, as one update finds them.
struct UpdateRig {
    testing::VirtualKey key;
    KeyStopwatch stopwatch;
    TimedKeyEnumerator enumerator{key, stopwatch};
    std::unique_ptr<KeySession> session;

    UpdateRig() {
        // The key's private scalar is 1: its point is the generator and its
        // side of the agreement a copy of the host's point, so the key's own
        // curve arithmetic all but vanishes from what the stopwatch takes out.
        // The host's work is the same for every valid point.
        key.state.privateKey.assign(32, 0);
        key.state.privateKey.back() = 1;
        session = KeySession::create(enumerator, 0);
    }
};

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

double microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

void CryptoFloorOfUpdate(benchmark::State& state) {
    CryptoFloor floor(embeddedPayload(), embeddedPackHeader()->payloadSize);
    for ([[maybe_unused]] auto _ : state) {
        if (!floor.run()) {
            state.SkipWithError("the floor's agreement refused its peer point");
            break;
        }
    }
}

void HostSideOfUpdate(benchmark::State& state) {
    CryptoFloor floor(embeddedPayload(), embeddedPackHeader()->payloadSize);
    const std::string soPin = kSoPin;
    std::vector<double> floorUs, hostUs, keyUs;
    {
        const SilencedStdout silenced;
        for ([[maybe_unused]] auto _ : state) {
            UpdateRig rig;
            if (!rig.session) {
                state.SkipWithError("no session on the virtual key");
                break;
            }

            const Clock::time_point floorStart = Clock::now();
            const bool floorDone = floor.run();
            const Clock::time_point floorEnd = Clock::now();

            const Clock::time_point updateStart = Clock::now();
            const bool updated = installFirmware(*rig.session, embeddedPackHeader(), soPin);
            const Clock::time_point updateEnd = Clock::now();

            if (!floorDone || !updated || !rig.key.state.finished) {
                state.SkipWithError("the update or the floor failed");
                break;
            }
            const Clock::duration host = (updateEnd - updateStart) - rig.stopwatch.total;
            state.SetIterationTime(std::chrono::duration<double>(host).count());
            floorUs.push_back(microseconds(floorEnd - floorStart));
            hostUs.push_back(microseconds(host));
            keyUs.push_back(microseconds(rig.stopwatch.total));
        }
    }
    const double floorMedian = median(floorUs);
    const double hostMedian = median(hostUs);
    state.counters["floor_us"] = floorMedian;
    state.counters["host_us"] = hostMedian;
    state.counters["key_us"] = median(keyUs);
    state.counters["ratio"] = floorMedian > 0 ? hostMedian / floorMedian : 0;
}

BENCHMARK(CryptoFloorOfUpdate)->Unit(benchmark::kMicrosecond);
BENCHMARK(HostSideOfUpdate)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace korvene::bench

BENCHMARK_MAIN();
