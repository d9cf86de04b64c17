#include "common/ipc/core/base/thread_pool.h"

#include <algorithm>
#include <chrono>

namespace ipc {

ThreadPool::ThreadPool(std::string name, std::int32_t thread_count)
    : name_(std::move(name)),
      thread_count_(std::max(thread_count, 0)),
      slots_(static_cast<std::size_t>(thread_count_)) {
  threads_.reserve(slots_.size());
  try {
    for (std::int32_t i = 0; i < thread_count_; ++i) threads_.emplace_back(&ThreadPool::Worker, this, i);
  } catch (...) {
    Stop();  // a joinable thread left behind would end the process
    throw;
  }
}

ThreadPool::~ThreadPool() { Stop(); }

void ThreadPool::Stop() {
  {
    // Set under the lock, so a worker between its test and its wait cannot miss it.
    const std::lock_guard lock(lock_);
    stopping_ = true;
  }
  task_ready_.notify_all();
  idle_changed_.notify_all();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

std::int64_t ThreadPool::NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void ThreadPool::Worker(std::int32_t index) {
  WorkerSlot& slot = slots_[static_cast<std::size_t>(index)];
  for (;;) {
    std::unique_lock lock(lock_);
    task_ready_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    // A stopping pool still runs everything queued; workers end only once the queue is empty.
    if (queue_.empty()) return;
    PoolTask task = std::move(queue_.front());
    queue_.pop_front();
    slot.tag = std::move(task.tag);
    slot.start = NowNs();
    slot.busy = true;
    if (queue_.empty()) idle_changed_.notify_all();
    lock.unlock();

    task.work();

    lock.lock();
    slot.tag.clear();
    slot.busy = false;
    lock.unlock();
    idle_changed_.notify_all();
  }
}

void ThreadPool::Submit(std::function<void()> work, std::string tag) {
  {
    const std::lock_guard lock(lock_);
    queue_.push_back({std::move(work), std::move(tag)});
  }
  task_ready_.notify_one();
}

bool ThreadPool::IdleLocked() const {
  return queue_.empty() && std::none_of(slots_.begin(), slots_.end(), [](const WorkerSlot& s) { return s.busy; });
}

bool ThreadPool::WaitIdle(std::uint32_t timeout_ms) {
  std::unique_lock lock(lock_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (IdleLocked() || stopping_) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (idle_changed_.wait_until(lock, deadline) == std::cv_status::timeout) return IdleLocked() || stopping_;
  }
}

std::vector<std::string> ThreadPool::StuckReport() {
  const std::int64_t now = NowNs();
  std::vector<std::string> lines;
  for (std::int32_t i = 0; i < thread_count_; ++i) {
    std::string tag;
    std::int64_t start = 0;
    {
      // One worker at a time, so the report never holds the lock for long.
      const std::lock_guard lock(lock_);
      const WorkerSlot& slot = slots_[static_cast<std::size_t>(i)];
      if (!slot.busy) continue;
      tag = slot.tag;
      start = slot.start;
    }
    if (auto line = StuckLine(name_, i, tag, now - start)) lines.push_back(std::move(*line));
  }
  return lines;
}

std::optional<std::string> ThreadPool::StuckLine(std::string_view pool, std::int32_t index, std::string_view tag,
                                                 std::int64_t elapsed_ns) {
  if (elapsed_ns < kStuckAfterNs) return std::nullopt;
  return "[" + std::string(pool) + "] thread#" + std::to_string(index) + " stuck for " +
         std::to_string(elapsed_ns / 1'000'000) + "ms tag=[" + std::string(tag) + "]";
}

}  // namespace ipc
