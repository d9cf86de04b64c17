#include "spindrel/transport/log_sink.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

namespace ipc {
namespace {

void discard(int, const char*, int, const char*) {}

// A line holds its own reference to the sink while it runs, so that replacing the sink never destroys
// one in use. Never destroyed itself: lines are still written while the process exits (the large-message
// storage settles then).
struct sink_slot {
  std::mutex lock;
  std::shared_ptr<const log_sink_fn> sink = std::make_shared<const log_sink_fn>(discard);
};

sink_slot& slot() {
  static sink_slot* const instance = new sink_slot;
  return *instance;
}

}  // namespace

log_sink_fn set_log_sink(log_sink_fn sink) {
  auto next = std::make_shared<const log_sink_fn>(sink ? std::move(sink) : log_sink_fn(discard));
  sink_slot& s = slot();
  const std::lock_guard guard(s.lock);
  std::swap(s.sink, next);
  return *next;
}

void log_sink(int level, const char* file, int line, const char* format, ...) {
  char text[2048];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  if (length < 0) text[0] = '\0';
  std::shared_ptr<const log_sink_fn> sink;
  {
    sink_slot& s = slot();
    const std::lock_guard guard(s.lock);
    sink = s.sink;
  }
  (*sink)(level, file, line, text);
}

}  // namespace ipc
