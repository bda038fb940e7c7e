#include "tests/e2e/preload_environment.h"

namespace korvene::testing {

std::vector<std::string> preloadEnvironment(const std::string& umockdevRoot, const std::string& asanOptions) {
    return {
        std::string("LD_PRELOAD=") + KORVENE_UMOCKDEV_PRELOAD,
        "UMOCKDEV_DIR=" + umockdevRoot,
        "ASAN_OPTIONS=verify_asan_link_order=0" + (asanOptions.empty() ? "" : ":" + asanOptions),
    };
}

}  // namespace korvene::testing
