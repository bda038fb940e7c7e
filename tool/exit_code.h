#pragma once

namespace korvene {

// Process exit codes of the updater.
enum class ExitCode : int {
    Updated = 0,            // updated, or the banner alone (--help, --version)
    NoUpdateNeeded = 1,
    BadOption = 2,
    DeviceUnavailable = 3,  // USB start, device count, open or access failure
    Canceled = 4,           // canceled by the user, or the update failed
    SoPinLocked = 5,
    BrokenPack = 6,         // the embedded firmware pack is broken
    StatusFailed = 7,       // reading the key's status failed
};

}  // namespace korvene
