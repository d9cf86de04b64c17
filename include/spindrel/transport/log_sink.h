// The one diagnostic channel of the transport and the bus: log_sink formats a line the way printf does
// and hands it, with its level and origin, to the process's sink. The default sink discards every line;
// tests install their own to see them.
//
// The texts of the transport's lines are fixed: the suite's existing log readers match them byte for
// byte, odd wording, misspelt and foreign names and trailing newlines included. Do not correct them.
#pragma once

#include <functional>

#include "spindrel/export.h"

// Clients may compile this header with another compiler: clang knows only the plain printf archetype,
// while mingw-w64's gcc needs gnu_printf to accept the C99 length modifiers.
#if defined(__clang__)
#define SPINDREL_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#elif defined(__GNUC__)
#define SPINDREL_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define SPINDREL_PRINTF_FORMAT(format_index, first_arg)
#endif

namespace ipc {

inline constexpr int log_level_filtered = 1;  // a message that was filtered out or could not be decoded
inline constexpr int log_level_failure = 2;   // a failed operation
inline constexpr int log_level_recovery = 4;  // a condition the code recovered from

// Receives every line: level, source file, line number, and the formatted text (never null). It may
// carry state (a lambda's captures); it is called from any thread, possibly from several at once.
using log_sink_fn = std::function<void(int level, const char* file, int line, const char* text)>;

// Installs a sink for the whole process and returns the previous one; an empty sink (nullptr)
// restores the default. Thread-safe; a line already being written may still reach the previous sink,
// which stays alive until that line is done.
SPINDREL_API log_sink_fn set_log_sink(log_sink_fn sink);

// Formats the text into a 2,048-byte buffer (longer text is cut; a formatting error gives the empty
// text) and passes it to the sink.
SPINDREL_API void log_sink(int level, const char* file, int line, const char* format, ...) SPINDREL_PRINTF_FORMAT(4, 5);

}  // namespace ipc

// log_sink with the calling file's `source` constant (its path without extension) and line.
#define SPINDREL_LOG(level, ...) ::ipc::log_sink((level), source, __LINE__, __VA_ARGS__)
