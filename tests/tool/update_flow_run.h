#pragma once

// One run of the update flow on a session opened on the virtual key: standard
// input fed from a text, standard output captured, at the info trace level and
// without force.

#include <string>

#include "tests/support/stdin_feed.h"
#include "tests/support/stdout_capture.h"
#include "tests/tool/virtual_key_session.h"
#include "tool/trace.h"
#include "tool/update_flow.h"

namespace korvene::testing {

// An error line as the flow prints it.
inline std::string error(const std::string& text) { return "[ERROR  ] " + text + "\n"; }

struct QuietRun {
    int result = -1;
    std::string output;
};

inline QuietRun runFlow(VirtualKeySession& k, const std::string& input) {
    QuietRun run;
    StdinFeed feed(input);
    StdoutCapture capture;
    traceInit(TraceLevel::Info);
    run.result = runUpdate(k.session, false);
    run.output = capture.take();
    return run;
}

}  // namespace korvene::testing
