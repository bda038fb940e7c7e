#pragma once

#include <cstdarg>
#include <cstddef>

namespace korvene {

// Level of a message, and the filter level of the trace log.
enum class TraceLevel : int {
    None = 0,
    Error = 1,
    Warn = 2,
    Info = 3,
    Verbose = 4,
};

// Flushes the trace stream, decides colour (standard output is a terminal) and
// sets the filter level.
void traceInit(TraceLevel level);
int traceGetLevel();
// One levelled message: prefix, a blank and the printf-style text; nothing when
// the level is None or above the filter.
void traceMessage(TraceLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Raw outputs: no prefix, no colour, no level check.
int traceVPrint(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
int tracePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
void traceHexDump(const void* data, size_t size);

}  // namespace korvene
