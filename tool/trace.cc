// The trace log: levelled diagnostics on standard output, coloured on a
// terminal, and two raw outputs that continue a message on the same line.
#include "tool/trace.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace korvene {

namespace {

int traceLevel = static_cast<int>(TraceLevel::None);
bool traceUseColor = false;
// A write to it that fails has nowhere to be reported: its result is ignored.
FILE* traceFile = stdout;

// Indexed by TraceLevel; None has no entry in use (it never passes the filter).
const char* const traceLevelPrefixes[] = {"", "[ERROR  ]", "[WARN   ]", "[INFO   ]", "[VERBOSE]"};
const char* const traceColors[] = {"", "\033[31m", "\033[33m", "\033[m", "\033[m"};
const char kColorReset[] = "\033[m";

// Bytes per chunk of the hex dump: its digits and a terminator fill one stack
// buffer that every chunk reuses.
constexpr size_t kHexChunk = 40;

}  // namespace

void traceInit(TraceLevel level) {
    (void)fflush(traceFile);
    traceUseColor = isatty(fileno(traceFile)) != 0;
    traceLevel = static_cast<int>(level);
}

int traceGetLevel() { return traceLevel; }

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style by design; trace.h has the compiler check the format.
void traceMessage(TraceLevel level, const char* format, ...) {
    const int value = static_cast<int>(level);
    // The tables end at Verbose: a larger level is refused even if the filter
    // was set beyond it.
    if (value < static_cast<int>(TraceLevel::Error) || value > traceLevel ||
        value > static_cast<int>(TraceLevel::Verbose)) {
        return;
    }
    const char* prefix = traceLevelPrefixes[value];
    const size_t prefixLength = strlen(prefix);

    va_list args;
    va_start(args, format);
    va_list measureArgs;
    va_copy(measureArgs, args);
    const int measured = vsnprintf(nullptr, 0, format, measureArgs);
    va_end(measureArgs);
    const size_t textLength = measured > 0 ? static_cast<size_t>(measured) : 0;

    const size_t size = prefixLength + 1 + textLength + 1;
    std::unique_ptr<char[]> line(new char[size]());
    memcpy(line.get(), prefix, prefixLength);
    line[prefixLength] = ' ';
    (void)vsnprintf(line.get() + prefixLength + 1, size - prefixLength - 1, format, args);
    va_end(args);

    if (traceUseColor) {
        (void)fputs(traceColors[value], traceFile);
        (void)fputs(line.get(), traceFile);
        (void)fwrite(kColorReset, 1, sizeof kColorReset - 1, traceFile);
    } else {
        (void)fputs(line.get(), traceFile);
    }
}

int traceVPrint(const char* format, va_list args) {
    va_list measureArgs;
    va_copy(measureArgs, args);
    const int length = vsnprintf(nullptr, 0, format, measureArgs);
    va_end(measureArgs);
    if (length <= 0) {
        return length;
    }
    std::unique_ptr<char[]> text(new char[static_cast<size_t>(length) + 1]());
    va_list formatArgs;
    va_copy(formatArgs, args);
    const int written = vsnprintf(text.get(), static_cast<size_t>(length) + 1, format, formatArgs);
    va_end(formatArgs);
    (void)fputs(text.get(), traceFile);
    return written;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style by design, as traceMessage.
int tracePrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = traceVPrint(format, args);
    va_end(args);
    return result;
}

void traceHexDump(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    char hex[2 * kHexChunk + 1];
    while (size > 0) {
        const size_t chunk = size < kHexChunk ? size : kHexChunk;
        for (size_t i = 0; i < chunk; ++i) {
            hex[2 * i] = digits[bytes[i] >> 4];
            hex[2 * i + 1] = digits[bytes[i] & 0xF];
        }
        hex[2 * chunk] = '\0';
        (void)fputs(hex, traceFile);
        bytes += chunk;
        size -= chunk;
    }
}

}  // namespace korvene
