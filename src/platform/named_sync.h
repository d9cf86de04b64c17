// Named mutexes and semaphores shared between processes, with Windows semantics on both systems.
//
// Mutex: recursive and owned by a thread. When the owning thread or process ends while holding it, the
// next wait gets kAbandoned once and owns the mutex; the caller decides what that means.
// Semaphore: counts from 0 up to kSemaphoreMaximum; posts add a count and wake that many waiters.
// Names are complete UTF-8 kernel names with their namespace prefix (see named_object.h). Timeouts are
// milliseconds on a monotonic clock; kInfinite waits without limit. Every function may be called from
// any thread; none prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/named_object.h"

namespace platform {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
inline constexpr std::int32_t kSemaphoreMaximum = 2'147'483'647;

// The values are the system's wait results, so that they can be reported as the system would.
enum class WaitResult : std::uint32_t {
  kSignaled = 0x00000000,   // acquired the mutex / took one count of the semaphore
  kAbandoned = 0x00000080,  // acquired a mutex whose previous owner ended without releasing it
  kTimeout = 0x00000102,
  kFailed = 0xFFFFFFFF,  // error tells why
};

// Creates the mutex, not owned, or opens the existing one of that name. Invalid on failure.
NamedObject CreateNamedMutex(std::string_view name, ErrorCode& error);

// Creates the mutex owned by the calling thread, or, when the name exists, opens it without taking it:
// either way the caller gets a handle. name must be ASCII. Used for a process's liveness mutex.
NamedObject CreateOwnedMutex(std::string_view name, ErrorCode& error);

// True while any process has a mutex of this name open (owned or not); opens nothing that outlives the
// call. name must be ASCII.
bool NamedMutexExists(std::string_view name);

// The process whose thread owns the mutex of this name, where the system can tell: on Linux the owner's
// thread id is part of the mutex's lock word, and /proc names its process. Windows has no call that
// names a mutex's owner: nothing there. Nothing too when no such mutex exists or nobody owns it.
std::optional<std::uint32_t> NamedMutexOwnerProcess(std::string_view name);

// Waits up to timeout_ms for the mutex. kSignaled and kAbandoned mean the calling thread owns it (one
// more level of recursion).
WaitResult LockNamedMutex(const NamedObject& mutex, std::uint32_t timeout_ms, ErrorCode& error);

// Releases one level of ownership. False (and no change) when the calling thread does not own it.
bool UnlockNamedMutex(const NamedObject& mutex, ErrorCode& error);

// True when nobody held the mutex and then check(context) returned true; check runs only then, at a
// moment when nobody holds it. Windows: the mutex is taken without waiting (one abandoned by a dead
// owner counts as taken) and check runs while the calling thread holds it. Linux: one sequentially
// consistent load of the lock word, which is 0 exactly when the mutex is free; check runs after it, so
// whoever takes the mutex later also sees what the caller stored before the call. False, and check not
// run, when the mutex was held or cannot be read.
bool IfNamedMutexFree(const NamedObject& mutex, bool (*check)(void* context), void* context);

// Creates the semaphore with count 0 and maximum kSemaphoreMaximum, or opens the existing one.
NamedObject CreateNamedSemaphore(std::string_view name, ErrorCode& error);

// Adds count (> 0) to the semaphore. Fails without change when the count would pass the maximum.
bool PostNamedSemaphore(const NamedObject& semaphore, std::int32_t count, ErrorCode& error);

// Waits up to timeout_ms to take one count.
WaitResult WaitNamedSemaphore(const NamedObject& semaphore, std::uint32_t timeout_ms, ErrorCode& error);

// Releases one level of the held mutex and waits on the semaphore, as one step: a post made after the
// release is never missed. Fails without waiting when the calling thread does not own the mutex. The
// mutex is not taken again.
WaitResult SignalMutexAndWait(const NamedObject& mutex, const NamedObject& semaphore, std::uint32_t timeout_ms,
                              ErrorCode& error);

}  // namespace platform
