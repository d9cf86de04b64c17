// A waiter: a named condition, a named lock and a stop flag. wait_while retries an operation (a queue
// push or pop) first by spinning, then by sleeping on the condition until a broadcast, a stop or a
// timeout. Names for a waiter called W: the condition "_waiter_cond_W" (in the waiter's namespace) and
// the lock "_waiter_lock_W", which carries no namespace prefix at all.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string_view>

#include "platform/scheduling.h"
#include "transport/backoff.h"
#include "transport/named_sync.h"

namespace ipc {

class waiter {
 public:
  // The namespace of the condition: set before open. Global unless set otherwise.
  void set_global(bool global) { global_ = global; }
  [[nodiscard]] bool global() const { return global_; }

  // Clears the stop flag, closes what is held and opens the condition and the lock.
  bool open(std::string_view name);
  void close();
  [[nodiscard]] bool valid() const { return condition_.valid() && lock_.valid(); }

  // Runs attempt until it succeeds: true then. Spins first (up to 33 attempts with a yield between
  // them), then sleeps; each sleep lasts at most ms (the low 32 bits; 0xFFFFFFFF is no limit), and a
  // sleep that runs out ends the wait with false. A stopped waiter returns true as soon as the spin
  // phase is over, whatever attempt says. With ms = 0, attempt runs once and nothing sleeps. A waiter
  // whose lock is not open (or cannot be taken) cannot sleep on its condition: it retries attempt every
  // millisecond for at most ms instead, so a broken waiter never turns a wait into a spin.
  template <typename Attempt>
  bool wait_while(Attempt&& attempt, std::uint64_t ms);

  // Wakes every sleeper. May be called from any thread while another waits.
  bool broadcast();
  // Ends every wait of this waiter, now and later, until the next open. May be called from any thread
  // while another waits.
  void stop();
  [[nodiscard]] bool stopped() const { return stopped_.load(); }

 private:
  static constexpr int spin_yields = 32;

  template <typename Attempt>
  bool poll_while(Attempt& attempt, std::uint64_t ms);

  named_condition condition_;
  named_mutex lock_;
  std::atomic<bool> stopped_{false};
  bool global_ = true;
};

template <typename Attempt>
bool waiter::wait_while(Attempt&& attempt, std::uint64_t ms) {
  if (ms == 0) return attempt();
  for (int yields = 0;; ++yields) {
    if (attempt()) return true;
    if (yields == spin_yields) break;
    platform::YieldThread();
  }
  // A broadcast takes this lock first, so it cannot slip in between a failed attempt and the sleep.
  if (!lock_.lock()) return poll_while(attempt, ms);
  for (;;) {
    if (stopped_.load() || attempt()) {
      lock_.unlock();
      return true;
    }
    if (!condition_.wait(lock_, ms)) {
      lock_.unlock();
      return false;
    }
  }
}

template <typename Attempt>
bool waiter::poll_while(Attempt& attempt, std::uint64_t ms) {
  const auto limit = static_cast<std::uint32_t>(ms);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
  for (std::uint32_t k = backoff_sleeps;;) {
    if (stopped_.load() || attempt()) return true;
    if (limit != 0xFFFF'FFFFu && std::chrono::steady_clock::now() >= deadline) return false;
    backoff(k);
  }
}

}  // namespace ipc
