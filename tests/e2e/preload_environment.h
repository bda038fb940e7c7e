#pragma once

// The environment that puts a program under umockdev's preload library, so
// that it sees the emulated USB bus of this process (EmulatedUsbBus) as the
// machine's own: its libusb finds, opens and talks to the emulated keys.

#include <string>
#include <vector>

namespace korvene::testing {

// "NAME=value" entries to add to a child's environment: LD_PRELOAD naming the
// preload library, UMOCKDEV_DIR naming the testbed at `umockdevRoot`, and
// ASAN_OPTIONS with an option that lets AddressSanitizer builds start with a
// library preloaded ahead of their runtime, followed by `asanOptions` when
// given ("detect_leaks=0").
std::vector<std::string> preloadEnvironment(const std::string& umockdevRoot, const std::string& asanOptions = "");

}  // namespace korvene::testing
