#include "tool/trace.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/stdout_capture.h"

namespace korvene {
namespace {

using testing::StdoutCapture;

// One message at each level, None and one beyond Verbose included.
void writeOneMessageAtEveryLevel() {
    for (int level = 0; level <= 5; ++level) {
        traceMessage(static_cast<TraceLevel>(level), "level %d\n", level);
    }
}

const char* const kPlainLines[] = {
    "",
    "[ERROR  ] level 1\n",
    "[WARN   ] level 2\n",
    "[INFO   ] level 3\n",
    "[VERBOSE] level 4\n",
};

TEST(TraceLog, EachFilterLevelPrintsExactlyTheMessagesAtOrBelowItWithTheirPrefixes) {
    for (int filter = 0; filter <= 4; ++filter) {
        SCOPED_TRACE("filter level " + std::to_string(filter));
        StdoutCapture capture;
        traceInit(static_cast<TraceLevel>(filter));
        writeOneMessageAtEveryLevel();
        std::string expected;
        for (int level = 1; level <= filter; ++level) {
            expected += kPlainLines[level];
        }
        EXPECT_EQ(capture.take(), expected);
    }
}

TEST(TraceLog, LevelAboveVerboseIsNeverPrintedEvenWithTheFilterBeyondVerbose) {
    StdoutCapture capture;
    traceInit(static_cast<TraceLevel>(5));
    traceMessage(static_cast<TraceLevel>(5), "beyond\n");
    traceMessage(static_cast<TraceLevel>(-1), "negative\n");
    EXPECT_EQ(capture.take(), "");
    traceInit(TraceLevel::Info);
}

TEST(TraceLog, TerminalWrapsEveryMessageInItsColourAndOneResetWhileAPipeGetsNoEscape) {
    const std::string expectedTerminal =
        "\033[31m[ERROR  ] level 1\n\033[m"
        "\033[33m[WARN   ] level 2\n\033[m"
        "\033[m[INFO   ] level 3\n\033[m"
        "\033[m[VERBOSE] level 4\n\033[m";
    {
        StdoutCapture terminal(StdoutCapture::Target::Terminal);
        traceInit(TraceLevel::Verbose);
        writeOneMessageAtEveryLevel();
        EXPECT_EQ(terminal.take(), expectedTerminal);
    }
    // Colour is decided again by each traceInit: back on a pipe, none.
    StdoutCapture pipe;
    traceInit(TraceLevel::Verbose);
    writeOneMessageAtEveryLevel();
    const std::string plain = pipe.take();
    EXPECT_EQ(plain, std::string(kPlainLines[1]) + kPlainLines[2] + kPlainLines[3] + kPlainLines[4]);
    EXPECT_EQ(plain.find('\033'), std::string::npos);
    traceInit(TraceLevel::Info);
}

TEST(TraceLog, MessageWithEmptyTextIsPrefixAndOneBlankWithoutLineEnd) {
    StdoutCapture capture;
    traceInit(TraceLevel::Info);
    traceMessage(TraceLevel::Warn, "%s", "");
    EXPECT_EQ(capture.take(), "[WARN   ] ");
}

TEST(TraceLog, LongMessageIsWrittenWhole) {
    const std::string text(5000, 'x');
    StdoutCapture capture;
    traceInit(TraceLevel::Info);
    traceMessage(TraceLevel::Error, "%s|%d\n", text.c_str(), 42);
    EXPECT_EQ(capture.take(), "[ERROR  ] " + text + "|42\n");
}

TEST(TracePrint, WritesTheFormattedTextRawEvenAtFilterNoneAndReturnsItsLength) {
    StdoutCapture capture(StdoutCapture::Target::Terminal);
    traceInit(TraceLevel::None);
    EXPECT_EQ(tracePrint("%s-%u\n", "raw", 7u), 6);
    EXPECT_EQ(tracePrint("%s", ""), 0);
    EXPECT_EQ(capture.take(), "raw-7\n");  // no prefix and no colour, even on a terminal
    traceInit(TraceLevel::Info);
}

TEST(TraceHexDump, FortyOneBytesGiveEightyTwoLowerCaseDigitsInOneRunWithoutLineEnd) {
    std::vector<unsigned char> bytes(41);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(0xF0 + i * 7);
    }
    std::string expected;
    for (unsigned char b : bytes) {
        char hex[3];
        (void)snprintf(hex, sizeof hex, "%02x", b);
        expected += hex;
    }
    StdoutCapture capture;
    traceInit(TraceLevel::None);
    traceHexDump(bytes.data(), bytes.size());
    traceHexDump(bytes.data(), 0);
    const std::string out = capture.take();
    EXPECT_EQ(out.size(), 82u);
    EXPECT_EQ(out, expected);
    traceInit(TraceLevel::Info);
}

TEST(TraceInit, FlushesTextPendingOnStandardOutputAndSetsTheLevel) {
    StdoutCapture capture;
    (void)fputs("pending", stdout);  // no line end: stays in the stdio buffer
    traceInit(TraceLevel::Warn);
    EXPECT_EQ(capture.takeUnflushed(), "pending");
    EXPECT_EQ(traceGetLevel(), static_cast<int>(TraceLevel::Warn));
    traceInit(TraceLevel::Info);
}

}  // namespace
}  // namespace korvene
