#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "device/session/key_session.h"

namespace korvene {

// The caution shown before the confirmation, one entry a line (each printed
// with its line end).
inline constexpr size_t kCautionBannerLines = 11;
extern const std::array<const char*, kCautionBannerLines> cautionBanner;

// The interactive update on an open, initialised session: status and version
// decision, caution, confirmation, the SO PIN without echo when the key has
// one, the installation with the embedded pack, and CancelUpdate after a failed
// installation. Returns an ExitCode value: Updated, NoUpdateNeeded, Canceled,
// SoPinLocked or StatusFailed. The session stays in `session`, open.
int runUpdate(std::unique_ptr<KeySession>& session, bool force);

}  // namespace korvene
