// korvene-update: updates the firmware of the one attached KORVENE key.
#include "device/session/key_session.h"
#include "tool/startup.h"

// A test-only build sets a short bound so that a key that stops answering ends
// a test in seconds; the updater itself uses the session's default.
#ifndef KORVENE_BULK_TIMEOUT_MS
#define KORVENE_BULK_TIMEOUT_MS korvene::KeySession::kDefaultBulkTimeoutMs
#endif

int main(int argc, char** argv) { return korvene::runTool(argc, argv, KORVENE_BULK_TIMEOUT_MS); }
