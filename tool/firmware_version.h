#pragma once

namespace korvene {

// The firmware version that this updater carries and installs: shown in the
// banner and as the target of the update.
inline constexpr unsigned kToolFirmwareMajor = 2;
inline constexpr unsigned kToolFirmwareMinor = 0;

}  // namespace korvene
