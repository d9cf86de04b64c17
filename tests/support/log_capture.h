// Collects the lines written to log_sink while it lives.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "spindrel/transport/log_sink.h"

namespace test_support {

struct LoggedLine {
  int level = 0;
  std::string text;
};

class LogCapture {
 public:
  LogCapture() { previous_ = ipc::set_log_sink(Record); }
  ~LogCapture() { ipc::set_log_sink(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  static std::vector<LoggedLine> Take() {
    const std::lock_guard guard(Lock());
    return std::move(Lines());
  }

 private:
  static void Record(int level, const char*, int, const char* text) {
    const std::lock_guard guard(Lock());
    Lines().push_back({level, text});
  }
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  static std::vector<LoggedLine>& Lines() {
    static std::vector<LoggedLine> lines;
    return lines;
  }

  ipc::log_sink_fn previous_;
};

}  // namespace test_support
