#include "common/log/logger.h"

#include <system_error>

#include "platform/clock.h"
#include "platform/process.h"

namespace {

constexpr std::string_view kRule = "=================================================================";
static_assert(kRule.size() == 65);

}  // namespace

Logger& Logger::Instance() {
  static Logger instance;
  return instance;
}

Logger::~Logger() { End(); }

std::filesystem::path Logger::DefaultDirectory() { return platform::TempDirectory() / "Brisden" / "Tarnwick"; }

void Logger::Init(std::string_view base_name, std::ios_base::openmode mode) {
  InitIn(DefaultDirectory(), base_name, mode);
}

void Logger::InitIn(const std::filesystem::path& directory, std::string_view base_name, std::ios_base::openmode mode) {
  // A log that cannot be opened is lost, and the run goes on.
  file_.OpenIn(directory, std::string(base_name) + ".log", (mode & std::ios_base::app) == 0);
  path_ = file_.Path();
  running_ = true;
  writer_ = std::thread(&Logger::WriterThread, this);
  WriteRaw(fmt::format("\n\n{}\n{}[{}.{}] log start", kRule, TimePrefix(), platform::CurrentThreadId(), ProcessId()));
}

void Logger::WriteRaw(std::string text) {
  if (!running_) return;
  Enqueue(std::move(text));
}

void Logger::Enqueue(std::string entry) {
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(entry));
  }
  wake_.notify_one();
}

void Logger::End() {
  if (file_.IsOpen()) {
    WriteRaw(fmt::format("{}[{}.{}] log end\n{}", TimePrefix(), platform::CurrentThreadId(), ProcessId(), kRule));
  }
  {
    const std::lock_guard lock(mutex_);
    running_ = false;
  }
  wake_.notify_one();
  if (writer_.joinable()) {
    if (writer_.get_id() == std::this_thread::get_id()) {
      throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    writer_.join();
  }
  if (file_.IsOpen()) {
    std::deque<std::string> rest;
    {
      const std::lock_guard lock(mutex_);
      rest.swap(queue_);
    }
    WriteEntries(rest);
    file_.Close();
  }
}

void Logger::WriterThread() {
  while (running_) {
    std::deque<std::string> batch;
    {
      std::unique_lock lock(mutex_);
      const auto deadline = std::chrono::steady_clock::now() + kFlushInterval;
      wake_.wait_until(lock, deadline, [this] { return queue_.size() >= kBatchSize || !running_; });
      batch.swap(queue_);
    }
    WriteEntries(batch);
  }
}

void Logger::WriteEntries(const std::deque<std::string>& entries) {
  if (entries.empty()) return;
  // One write for the whole batch: the system appends it in one piece, so lines of other processes
  // writing to the same file can only fall between batches, never inside an entry.
  std::string bytes;
  for (const auto& entry : entries) {
    bytes += entry;
    bytes += '\n';
  }
  file_.Write(bytes);
}

std::string Logger::TimePrefix() {
  const std::int64_t ticks = platform::WallClockTicks();
  const platform::LocalTime local = platform::ToLocalTime(ticks / platform::kTicksPerSecond);
  const std::int64_t milliseconds = (ticks / 10'000) % 1000;
  return fmt::format("[{:02}-{:02} {:02}:{:02}:{:02}.{:03}] ", local.month, local.day, local.hour, local.minute,
                     local.second, milliseconds);
}

std::int32_t Logger::ProcessId() {
  static const auto pid = static_cast<std::int32_t>(platform::CurrentProcessId());
  return pid;
}
