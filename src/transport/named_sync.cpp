#include "transport/named_sync.h"

#include <atomic>
#include <string>

#include "platform/named_sync.h"
#include "spindrel/transport/log_sink.h"
#include "transport/channel_layout.h"
#include "transport/object_security.h"

namespace ipc {
namespace {

constexpr const char* source = "src/transport/named_sync";

unsigned long code(platform::ErrorCode error) { return error; }

// The counter is another process's word too: whatever it holds, arithmetic on it must not overflow.
std::int32_t wrapping_add(std::int32_t value, std::int32_t delta) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + static_cast<std::uint32_t>(delta));
}

// Changed only under the condition's lock, but a waker may read it without the lock: always atomic.
std::atomic_ref<std::int32_t> counter_of(const shm::handle& counter) {
  return std::atomic_ref<std::int32_t>(*static_cast<std::int32_t*>(counter.get()));
}

}  // namespace

bool named_mutex::open(std::string_view name) {
  close();
  prepare_object_security();
  platform::ErrorCode error = 0;
  handle_ = platform::CreateNamedMutex(name, error);
  if (handle_) return true;
  SPINDREL_LOG(log_level_failure, "fail CreateMutex[%lu]: %s\n", code(error), std::string(name).c_str());
  return false;
}

bool named_mutex::lock() {
  for (;;) {
    platform::ErrorCode error = 0;
    const platform::WaitResult result = platform::LockNamedMutex(handle_, platform::kInfinite, error);
    switch (result) {
      case platform::WaitResult::kSignaled:
        return true;
      case platform::WaitResult::kAbandoned:
        // Its owner died holding it. We own it now; let it go and wait for it like anyone else.
        SPINDREL_LOG(log_level_recovery, "fail WaitForSingleObject[%lu]: WAIT_ABANDONED, try again.\n", code(error));
        if (!platform::UnlockNamedMutex(handle_, error)) {
          SPINDREL_LOG(log_level_failure, "fail ReleaseMutex[%lu]\n", code(error));
          return false;
        }
        continue;
      default:
        SPINDREL_LOG(log_level_failure, "fail WaitForSingleObject[%lu]: 0x%08X\n", code(error),
                     static_cast<unsigned>(result));
        return false;
    }
  }
}

bool named_mutex::unlock() {
  platform::ErrorCode error = 0;
  if (platform::UnlockNamedMutex(handle_, error)) return true;
  SPINDREL_LOG(log_level_failure, "fail ReleaseMutex[%lu]\n", code(error));
  return false;
}

bool named_semaphore::open(std::string_view name) {
  close();
  prepare_object_security();
  platform::ErrorCode error = 0;
  handle_ = platform::CreateNamedSemaphore(name, error);
  if (handle_) return true;
  SPINDREL_LOG(log_level_failure, "fail CreateSemaphore[%lu]: %s\n", code(error), std::string(name).c_str());
  return false;
}

bool named_semaphore::post(std::int32_t count) {
  platform::ErrorCode error = 0;
  if (platform::PostNamedSemaphore(handle_, count, error)) return true;
  SPINDREL_LOG(log_level_failure, "fail ReleaseSemaphore[%lu]\n", code(error));
  return false;
}

bool named_condition::open(std::string_view name, bool global) {
  close();
  if (!semaphore_.open(layout::condition_semaphore_name(global, name))) return false;
  if (!lock_.open(layout::condition_lock_name(global, name))) {
    semaphore_.close();
    return false;
  }
  if (!counter_.acquire(layout::condition_counter_name(name), sizeof(std::int32_t), global)) {
    counter_.release();
    lock_.close();
    semaphore_.close();
    return false;
  }
  return true;
}

bool named_condition::announce() {
  if (!valid() || !lock_.lock()) return false;
  // A negative count (left by a sleeper that timed out after a broadcast counted it) starts again at 1.
  const std::atomic_ref<std::int32_t> counter = counter_of(counter_);
  const std::int32_t now = counter.load();
  counter.store(now < 0 ? 1 : wrapping_add(now, 1));
  return lock_.unlock();
}

named_condition::slept named_condition::sleep(named_mutex& mutex, std::uint64_t ms) {
  if (!valid()) return slept::failed;
  platform::ErrorCode error = 0;
  const platform::WaitResult woken =
      platform::SignalMutexAndWait(mutex.native(), semaphore_.native(), static_cast<std::uint32_t>(ms), error);
  const bool relocked = mutex.lock();
  if (woken != platform::WaitResult::kSignaled) {
    if (lock_.lock()) {
      const std::atomic_ref<std::int32_t> counter = counter_of(counter_);
      counter.store(wrapping_add(counter.load(), -1));
      lock_.unlock();
    }
  }
  if (!relocked) return slept::failed;
  if (woken == platform::WaitResult::kSignaled) return slept::woken;
  return woken == platform::WaitResult::kTimeout ? slept::timed_out : slept::failed;
}

bool named_condition::broadcast() {
  if (!valid()) return false;
  if (!lock_.lock()) return false;
  const std::atomic_ref<std::int32_t> counter = counter_of(counter_);
  bool posted = false;
  if (const std::int32_t sleepers = counter.load(); sleepers > 0) {
    posted = semaphore_.post(sleepers);
    counter.store(0);
  }
  return lock_.unlock() && posted;
}

bool named_condition::nobody_counted() const { return valid() && counter_of(counter_).load() == 0; }

void named_condition::close() {
  counter_.release();
  lock_.close();
  semaphore_.close();
}

}  // namespace ipc
