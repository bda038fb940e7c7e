#pragma once

#include <cstdint>

#include "device/session/key_session.h"

namespace korvene {

// The whole run of the updater from the command line to the exit code: reads
// the options, prints the banner, checks the embedded pack, finds and opens
// the one attached key, runs the update and shuts everything down in order.
// Returns an ExitCode value. May be called more than once in one process (the
// option parser is reset on entry). SIGPIPE is ignored from the start of the
// run on, so that output to a closed pipe fails quietly. `bulkTimeoutMs`
// bounds every bulk transfer to the key; the updater passes the session's
// default.
int runTool(int argc, char** argv, uint32_t bulkTimeoutMs = KeySession::kDefaultBulkTimeoutMs);

}  // namespace korvene
