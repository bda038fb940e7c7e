#pragma once

namespace korvene {

// Prints the three-line banner (title with the firmware and tool versions, a
// one-line description, an empty line) on standard output and flushes it.
void printBanner();

}  // namespace korvene
