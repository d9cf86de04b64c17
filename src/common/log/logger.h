// The program's text log: callers format a line and hand it over; a writer thread appends queued lines
// to the file in batches, so a log call never waits for the disk.
//
// Each run appends an opening banner, its lines and a closing banner to <temp>/Brisden/Tarnwick/<name>.log,
// a file shared by every run and every process of the program.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <ios>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <fmt/format.h>

#include "platform/filesystem.h"
#include "platform/process.h"

// The call site of a log line. Only the function name is written into the line.
struct SourceLocation {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  const char* file = "";
  const char* function = "";
};

class Logger {
 public:
  // Lines reach the file once this many are pending, after at most kFlushInterval, or at End.
  static constexpr std::size_t kBatchSize = 10;
  static constexpr std::chrono::seconds kFlushInterval{10};

  // The process-wide logger, created on first use and ended at process exit.
  static Logger& Instance();

  Logger() = default;
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Opens <temp>/Brisden/Tarnwick/<base_name>.log and starts the writer. mode is an iostream open mode:
  // with std::ios::app the file is appended to, otherwise emptied. A file that cannot be opened is not
  // an error: lines are then dropped silently. Throws std::system_error if the writer cannot start.
  void Init(std::string_view base_name, std::ios_base::openmode mode);
  // The same, in a directory of the caller's choosing.
  void InitIn(const std::filesystem::path& directory, std::string_view base_name, std::ios_base::openmode mode);

  // Formats and queues one line. Does nothing before Init or after End. Thread-safe.
  template <typename... Args>
  void Log(fmt::format_string<Args...> format, const SourceLocation& location, std::uint32_t thread_id,
           Args&&... args) {
    if (!running_) return;
    Enqueue(fmt::format("{}[{}.{}][{}]: {}", TimePrefix(), thread_id, ProcessId(), location.function,
                        fmt::format(format, std::forward<Args>(args)...)));
  }

  // Queues a finished text as one entry. Does nothing before Init or after End.
  void WriteRaw(std::string text);

  // Writes the closing banner, stops the writer, writes what is left and closes the file.
  void End();

  // Guards the one Init of the process-wide logger.
  std::once_flag& InitOnce() { return init_once_; }

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

  // "<temp>/Brisden/Tarnwick".
  static std::filesystem::path DefaultDirectory();

 private:
  static std::string TimePrefix();
  static std::int32_t ProcessId();
  void Enqueue(std::string entry);
  void WriterThread();
  void WriteEntries(const std::deque<std::string>& entries);

  std::filesystem::path path_;
  platform::AppendFile file_;
  std::atomic<bool> running_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread writer_;
  std::once_flag init_once_;
  std::deque<std::string> queue_;
};

// Logs one line through the process-wide logger, naming the calling function...
#define SPINDREL_LOG(format, ...) SPINDREL_LOG_AS(__func__, format, __VA_ARGS__)

// ...or the function given, for helpers that write on behalf of their caller.
#define SPINDREL_LOG_AS(function, format, ...)                                                                       \
  ::Logger::Instance().Log(format, ::SourceLocation{__LINE__, 0, __FILE__, function}, ::platform::CurrentThreadId(), \
                           __VA_ARGS__)
