// Mutexes are robust, recursive, process-shared pthread mutexes; semaphores are a futex word with a
// count that refuses to pass the maximum. Both live in object files of the table in named_object.cpp.
#include "platform/named_sync.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <optional>
#include <string>

#include "platform/posix/checked_call.h"
#include "platform/posix/object_table.h"
#include "platform/posix/proc.h"
#include "platform/process.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace platform {
namespace {

using posix::ObjectKind;
using posix::ObjectRecord;

timespec DeadlineAfter(std::uint32_t timeout_ms) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  long long nanoseconds = now.tv_nsec + static_cast<long long>(timeout_ms % 1000) * 1'000'000;
  timespec deadline{};
  deadline.tv_sec = now.tv_sec + timeout_ms / 1000 + nanoseconds / 1'000'000'000;
  deadline.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
  return deadline;
}

// A lock with a deadline on the monotonic clock. gcc 12's ThreadSanitizer does not intercept
// pthread_mutex_clocklock: it is told of the lock here, or every unlock after it would be reported as
// the unlock of an unlocked mutex.
int ClockLock(pthread_mutex_t* mutex, const timespec& deadline) {
#if defined(__SANITIZE_THREAD__)
  __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
  const int result = ::pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
  const bool taken = result == 0 || result == EOWNERDEAD;
  __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock | (taken ? 0u : __tsan_mutex_try_lock_failed), 0);
  return result;
#else
  return ::pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#endif
}

pthread_mutex_t* MutexOf(const NamedObject& mutex, ObjectRecord*& record, ErrorCode& error) {
  record = posix::RecordOf(mutex.Get(), ObjectKind::kMutex, error);
  return record == nullptr ? nullptr : static_cast<pthread_mutex_t*>(record->Payload());
}

posix::SemaphoreWords* SemaphoreOf(const NamedObject& semaphore, ErrorCode& error) {
  ObjectRecord* record = posix::RecordOf(semaphore.Get(), ObjectKind::kSemaphore, error);
  return record == nullptr ? nullptr : static_cast<posix::SemaphoreWords*>(record->Payload());
}

long Futex(std::uint32_t* word, int operation, std::uint32_t value, const timespec* deadline) {
  // Not FUTEX_PRIVATE_FLAG: the word is shared with other processes.
  return ::syscall(SYS_futex, word, operation, value, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// On failure seen is the count that was there: 0, or a value past the maximum that another process wrote.
bool TryTake(std::atomic_ref<std::uint32_t> count, std::uint32_t& seen) {
  seen = count.load();
  while (seen > 0 && seen <= static_cast<std::uint32_t>(kSemaphoreMaximum)) {
    if (count.compare_exchange_weak(seen, seen - 1)) return true;
  }
  return false;
}

}  // namespace

NamedObject CreateNamedMutex(std::string_view name, ErrorCode& error) {
  bool existed = false;
  return NamedObject(posix::OpenObject({name, ObjectKind::kMutex, 0, false}, error, existed));
}

NamedObject CreateOwnedMutex(std::string_view name, ErrorCode& error) {
  bool existed = false;
  return NamedObject(posix::OpenObject({name, ObjectKind::kMutex, 0, true}, error, existed));
}

bool NamedMutexExists(std::string_view name) { return posix::ObjectIsHeld(name, ObjectKind::kMutex); }

std::optional<std::uint32_t> NamedMutexOwnerProcess(std::string_view name) {
  ErrorCode error = 0;
  bool existed = false;
  const NamedObject mutex(posix::OpenObject({name, ObjectKind::kMutex, 0, false, true}, error, existed));
  ObjectRecord* record = nullptr;
  pthread_mutex_t* native = MutexOf(mutex, record, error);
  if (native == nullptr) return std::nullopt;
  const int owner = posix::MutexOwnerThread(native);
  if (owner == 0) return std::nullopt;
  return posix::ProcessOfThread(static_cast<std::uint32_t>(owner));
}

WaitResult LockNamedMutex(const NamedObject& mutex, std::uint32_t timeout_ms, ErrorCode& error) {
  ObjectRecord* record = nullptr;
  pthread_mutex_t* native = MutexOf(mutex, record, error);
  if (native == nullptr) return WaitResult::kFailed;
  int result = 0;
  if (timeout_ms == kInfinite) {
    result = ::pthread_mutex_lock(native);
  } else {
    result = ::pthread_mutex_trylock(native);
    if (result == EBUSY && timeout_ms > 0) {
      const timespec deadline = DeadlineAfter(timeout_ms);
      result = ClockLock(native, deadline);
    }
  }
  switch (result) {
    case 0:
      return WaitResult::kSignaled;
    case EOWNERDEAD:
      // The owner died holding it. Mark it consistent at once: unlocking it without that would make it
      // unusable for every process. We own it now, as after WAIT_ABANDONED.
      ::pthread_mutex_consistent(native);
      error = EOWNERDEAD;
      return WaitResult::kAbandoned;
    case EBUSY:
    case ETIMEDOUT:
      return WaitResult::kTimeout;
    default:
      error = static_cast<ErrorCode>(result);
      return WaitResult::kFailed;
  }
}

bool UnlockNamedMutex(const NamedObject& mutex, ErrorCode& error) {
  ObjectRecord* record = nullptr;
  pthread_mutex_t* native = MutexOf(mutex, record, error);
  if (native == nullptr) return false;
  // Refused before the call, with the answer the call would give: a sanitizer that watches the calling
  // process reports an unlock by a non-owner as a fault, where for us it is an ordinary refusal (the
  // owner may be another process).
  if (posix::MutexOwnerThread(native) != static_cast<int>(CurrentThreadId())) {
    error = EPERM;
    return false;
  }
  if (const int result = ::pthread_mutex_unlock(native); result != 0) {
    error = static_cast<ErrorCode>(result);  // EPERM: not the owner
    return false;
  }
  return true;
}

bool IfNamedMutexFree(const NamedObject& mutex, bool (*check)(void* context), void* context) {
  ErrorCode error = 0;
  ObjectRecord* record = nullptr;
  pthread_mutex_t* native = MutexOf(mutex, record, error);
  if (native == nullptr) return false;
  // A robust mutex's lock word holds its owner's thread id (and flag bits) while held: 0 means free.
  if (std::atomic_ref<int>(native->__data.__lock).load() != 0) return false;
  return check(context);
}

NamedObject CreateNamedSemaphore(std::string_view name, ErrorCode& error) {
  bool existed = false;
  return NamedObject(posix::OpenObject({name, ObjectKind::kSemaphore, 0, false}, error, existed));
}

bool PostNamedSemaphore(const NamedObject& semaphore, std::int32_t count, ErrorCode& error) {
  posix::SemaphoreWords* words = SemaphoreOf(semaphore, error);
  if (words == nullptr) return false;
  if (count <= 0) {
    error = EINVAL;
    return false;
  }
  std::atomic_ref<std::uint32_t> current_count(words->count);
  std::uint32_t current = current_count.load();
  do {
    if (current > static_cast<std::uint32_t>(kSemaphoreMaximum - count)) {
      error = EOVERFLOW;  // as ERROR_TOO_MANY_POSTS: nothing is added
      return false;
    }
  } while (!current_count.compare_exchange_weak(current, current + static_cast<std::uint32_t>(count)));
  // A waiter announces itself before it sleeps and sleeps only while the count is 0, so either it
  // sees the new count or we see it waiting.
  if (std::atomic_ref<std::uint32_t>(words->waiters).load() > 0) {
    Futex(&words->count, FUTEX_WAKE, static_cast<std::uint32_t>(count), nullptr);
  }
  return true;
}

WaitResult WaitNamedSemaphore(const NamedObject& semaphore, std::uint32_t timeout_ms, ErrorCode& error) {
  posix::SemaphoreWords* words = SemaphoreOf(semaphore, error);
  if (words == nullptr) return WaitResult::kFailed;
  std::atomic_ref<std::uint32_t> count(words->count);
  std::atomic_ref<std::uint32_t> waiters(words->waiters);
  std::uint32_t seen = 0;
  if (TryTake(count, seen)) return WaitResult::kSignaled;
  if (timeout_ms == 0) return WaitResult::kTimeout;
  const timespec deadline = timeout_ms == kInfinite ? timespec{} : DeadlineAfter(timeout_ms);
  for (;;) {
    waiters.fetch_add(1);
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so retries keep the same one. It
    // sleeps while the count is what TryTake saw: a count past the maximum, written by another process,
    // can never be taken, and waiting for 0 would then return at once and spin until the deadline.
    const long result = Futex(&words->count, FUTEX_WAIT_BITSET, seen, timeout_ms == kInfinite ? nullptr : &deadline);
    const int wait_error = result == 0 ? 0 : errno;
    waiters.fetch_sub(1);
    if (TryTake(count, seen)) return WaitResult::kSignaled;
    if (wait_error == ETIMEDOUT) return WaitResult::kTimeout;
    if (wait_error != 0 && wait_error != EAGAIN && wait_error != EINTR) {
      error = static_cast<ErrorCode>(wait_error);
      return WaitResult::kFailed;
    }
  }
}

WaitResult SignalMutexAndWait(const NamedObject& mutex, const NamedObject& semaphore, std::uint32_t timeout_ms,
                              ErrorCode& error) {
  if (SemaphoreOf(semaphore, error) == nullptr) return WaitResult::kFailed;
  // The semaphore keeps every post, so one that lands between the release and the wait wakes the wait.
  if (!UnlockNamedMutex(mutex, error)) return WaitResult::kFailed;
  return WaitNamedSemaphore(semaphore, timeout_ms, error);
}

}  // namespace platform
