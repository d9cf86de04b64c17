// The bus's fixed-size worker pool: a name, a first-in first-out queue of tagged tasks and a fixed set of
// workers, each with a record of the task it runs and since when. Owners ask at shutdown whether the
// pool went idle in time (WaitIdle) and which workers hang on one task (StuckReport); there is no
// watchdog thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ipc {

class ThreadPool {
 public:
  // A worker busy on one task for at least this long (more than 5000 whole milliseconds) is stuck.
  static constexpr std::int64_t kStuckAfterNs = 5'001'000'000;

  // Starts thread_count workers at once. Throws std::system_error when a thread cannot be started (the
  // workers already started are stopped first).
  ThreadPool(std::string name, std::int32_t thread_count);
  // Lets the workers finish every queued task, then joins them; a task that never returns keeps this
  // waiting. Must not run on one of the pool's own workers.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Queues work at the back; the tag describes it in stall lines. work must not throw.
  void Submit(std::function<void()> work, std::string tag);

  // True as soon as no task is queued or running (or the pool is being destroyed), false when that has
  // not happened within timeout_ms.
  bool WaitIdle(std::uint32_t timeout_ms);

  // One line per stuck worker, in worker order, e.g.
  //   [handler_pool] thread#3 stuck for 7250ms tag=[msg_id=12,id=ab]
  std::vector<std::string> StuckReport();

  // The stall line of worker index, busy on tag for elapsed_ns; empty when that is not stuck yet.
  static std::optional<std::string> StuckLine(std::string_view pool, std::int32_t index, std::string_view tag,
                                              std::int64_t elapsed_ns);

 private:
  struct PoolTask {
    std::function<void()> work;
    std::string tag;
  };
  struct WorkerSlot {
    bool busy = false;
    std::int64_t start = 0;  // monotonic nanoseconds when the current task was taken
    std::string tag;
  };

  static std::int64_t NowNs();
  void Worker(std::int32_t index);
  void Stop();
  bool IdleLocked() const;

  std::string name_;
  std::mutex lock_;
  std::condition_variable task_ready_;
  std::condition_variable idle_changed_;
  std::atomic<bool> stopping_{false};
  std::deque<PoolTask> queue_;
  std::int32_t thread_count_;
  std::vector<std::thread> threads_;
  std::vector<WorkerSlot> slots_;
};

}  // namespace ipc
