// Named mutexes, semaphores and conditions shared between processes. Each open takes a complete UTF-8
// kernel name ("Global\X", "Local\X" or a bare name), except named_condition, which builds its names
// from its own and the global flag. Failures are returned as false and reported through log_sink.
//
// An object is used by one thread at a time, except where a method says otherwise.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/named_object.h"
#include "transport/shm.h"

namespace ipc {

// A recursive mutex owned by a thread. A mutex whose owner died holding it is taken over by the next
// lock, with one level-4 line.
class named_mutex {
 public:
  // Closes what is held, then creates the mutex (not owned) or opens the existing one.
  bool open(std::string_view name);
  // Waits without a time limit. Safe from several threads at once, as long as nobody opens or closes.
  bool lock();
  bool unlock();
  void close() { handle_.Reset(); }

  [[nodiscard]] bool valid() const { return handle_.IsValid(); }
  [[nodiscard]] const platform::NamedObject& native() const { return handle_; }

 private:
  platform::NamedObject handle_;
};

// A counting semaphore: created with count 0, up to 2,147,483,647.
class named_semaphore {
 public:
  bool open(std::string_view name);
  // Adds count; fails (and adds nothing) when the count would pass the maximum.
  bool post(std::int32_t count);
  void close() { handle_.Reset(); }

  [[nodiscard]] bool valid() const { return handle_.IsValid(); }
  [[nodiscard]] const platform::NamedObject& native() const { return handle_; }

 private:
  platform::NamedObject handle_;
};

// A condition variable made of a semaphore sleepers wait on, a lock, and a shared 32-bit count of the
// sleepers that announced themselves. Names, with P = "Global" or "Local":
// P\_cond_sem_C, P\_cond_lock_C, and the shared memory "_cond_shm_C".
class named_condition {
 public:
  // Closes what is held, then opens all three parts; false (and nothing held) when one fails.
  bool open(std::string_view name, bool global);
  // How a sleep ended.
  enum class slept { woken, timed_out, failed };

  // announce, then sleep: the two steps of a wait, which a waiter runs one by one. True when woken.
  bool wait(named_mutex& mutex, std::uint64_t ms) { return announce() && sleep(mutex, ms) == slept::woken; }
  // Counts the calling thread among the sleepers, so that a broadcast from now on posts for it. The
  // caller holds the mutex it will sleep with and sleeps next; false when the count could not be changed.
  bool announce();
  // Releases mutex (which the caller holds) and sleeps until a broadcast or ms milliseconds (the low 32
  // bits; 0xFFFFFFFF waits without limit), then takes mutex again, whatever happened. woken when a
  // broadcast ended it and the mutex was taken again. A sleep that ends without a post uncounts the sleeper.
  slept sleep(named_mutex& mutex, std::uint64_t ms);
  // Wakes every sleeper that has announced itself. True when something was woken.
  bool broadcast();
  // Whether the count of announced sleepers is 0 (read atomically, without the lock): nobody to wake,
  // unless someone announces later.
  [[nodiscard]] bool nobody_counted() const;

  void close();

  [[nodiscard]] bool valid() const { return semaphore_.valid() && lock_.valid() && counter_.valid(); }

 private:
  named_semaphore semaphore_;
  named_mutex lock_;
  shm::handle counter_;
};

}  // namespace ipc
