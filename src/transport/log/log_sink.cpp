#include "spindrel/transport/log_sink.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace ipc {
namespace {

void discard(int, const char*, int, const char*) {}

std::atomic<log_sink_fn> current_sink{discard};

}  // namespace

log_sink_fn set_log_sink(log_sink_fn sink) { return current_sink.exchange(sink != nullptr ? sink : discard); }

void log_sink(int level, const char* file, int line, const char* format, ...) {
  char text[2048];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  if (length < 0) text[0] = '\0';
  current_sink.load()(level, file, line, text);
}

}  // namespace ipc
