#include "tests/support/stdin_feed.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <gtest/gtest.h>

namespace korvene::testing {
namespace {

// Forgets what stdin read ahead and its end-of-input state, and std::cin's.
void resetStandardInput() {
    __fpurge(stdin);
    clearerr(stdin);
    std::cin.clear();
}

}  // namespace

StdinFeed::StdinFeed(const std::string& input) {
    FILE* file = tmpfile();
    if (file == nullptr) {
        ADD_FAILURE() << "tmpfile failed";
        return;
    }
    const bool written = input.empty() || fwrite(input.data(), 1, input.size(), file) == input.size();
    if (fflush(file) != 0 || !written) {
        ADD_FAILURE() << "writing the input failed";
    }
    rewind(file);
    savedStdin = dup(STDIN_FILENO);
    dup2(fileno(file), STDIN_FILENO);
    // Descriptor 0 keeps the file open; the stream is no longer needed.
    (void)fclose(file);
    resetStandardInput();
}

StdinFeed::~StdinFeed() {
    if (savedStdin >= 0) {
        dup2(savedStdin, STDIN_FILENO);
        close(savedStdin);
    }
    resetStandardInput();
}

}  // namespace korvene::testing
