// A waiter: a named condition, a named lock and a stop flag. wait_while retries an operation (a queue
// push or pop) first by spinning for a few microseconds (and yielding while yields are cheap), then by
// sleeping on the condition, in slices, until a broadcast, a stop or a timeout. Names for a waiter called W: the
// condition "_waiter_cond_W" (in the waiter's namespace) and the lock "_waiter_lock_W", which carries no
// namespace prefix at all.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/scheduling.h"
#include "transport/backoff.h"
#include "transport/named_sync.h"

namespace ipc {

// The steps between which a test may stop a waiting thread: see waiter::set_step_hook_for_testing.
enum class wait_step {
  yielded,    // a yield of the spin phase returned (time held here counts as the yield's); the attempt comes next
  spun,       // the spin phase failed; the waiter lock comes next
  locked,     // the waiter lock is held; the check under it comes next
  checked,    // that check failed; the announcement comes next
  announced,  // counted among the sleepers; releasing the waiter lock and sleeping come next
};

class waiter {
 public:
  // The namespace of the condition: set before open. Global unless set otherwise.
  void set_global(bool global) { global_ = global; }
  [[nodiscard]] bool global() const { return global_; }

  // Clears the stop flag, closes what is held and opens the condition and the lock.
  bool open(std::string_view name);
  void close();
  [[nodiscard]] bool valid() const { return condition_.valid() && lock_.valid(); }

  // Runs attempt until it succeeds: true then. Spins first (attempt after attempt, with processor
  // pauses between them, for about spin_time, or one attempt alone while the partner seems to share
  // this processor; then up to spin_yields attempts with a yield before each, unless yields rest: see
  // below), then sleeps, in slices (below) with an attempt after each, for at most ms in all (the low
  // 32 bits; 0xFFFFFFFF is no limit); when that runs out the wait ends with false. A stopped waiter
  // returns true as soon as the spin phase is over, whatever attempt says. With ms = 0, attempt runs
  // once and nothing sleeps. A waiter whose lock is not open (or cannot be taken) cannot sleep on its
  // condition: it retries attempt every millisecond for at most ms instead, so a broken waiter never
  // turns a wait into a spin.
  template <typename Attempt>
  bool wait_while(Attempt&& attempt, std::uint64_t ms);

  // Wakes every sleeper. True when something was woken. May be called from any thread while another
  // waits. Skips the condition when the waiter lock is free and nobody is counted (see the .cpp).
  bool broadcast();
  // Ends every wait of this waiter, now and later, until the next open. May be called from any thread
  // while another waits.
  void stop();
  [[nodiscard]] bool stopped() const { return stopped_.load(); }

  // Calls hook at every wait_step this waiter's threads pass, on the thread that passes it; a hook
  // that blocks holds that thread there. Set before the waiter is used, and cleared (empty) by tests
  // only; without one each step costs a test of an empty function.
  void set_step_hook_for_testing(std::function<void(wait_step)> hook) { step_hook_ = std::move(hook); }
  // Whether waits skip their spin now (see partner_here_): what the last yield that found a change
  // taught, which depends on how long the machine kept that yield away.
  [[nodiscard]] bool skips_spin_for_testing() const { return partner_here_.load(std::memory_order_relaxed); }

  // How long a wait tries before it sleeps: long enough for a reply from a peer that runs on another
  // processor, short enough that a peer that needs this processor loses little.
  static constexpr std::chrono::nanoseconds spin_time = std::chrono::microseconds(3);

  // A partner on another processor that answers a little later than spin_time (a reply is a receive,
  // its wake-ups and a send: a few microseconds) is caught by yields or a sleep, each slower to notice
  // than a pause, and once one side sleeps the other waits for its wake-up and sleeps too. A wait
  // that got past its spin and still had its change within long_spin_time of its start shows that;
  // the waits of this waiter then spin for long_spin_time (with pauses) until one such long spin
  // fails. Where a spin cannot succeed (the partner needs this processor) that would burn a long spin
  // every other wait, so after a failed long spin the next takes long_spin_after such waits in a row,
  // twice as many after each failed long spin in a row, up to long_spin_after_most.
  static constexpr std::chrono::nanoseconds long_spin_time = std::chrono::microseconds(50);
  static constexpr std::uint32_t long_spin_after = 1;
  static constexpr std::uint32_t long_spin_after_most = 64;

  // After the pauses, yields: with more runnable partners than processors a yield hands this
  // processor to a partner, whose change then arrives without a sleep and a wake-up (two system calls
  // and a switch each). Against a competitor that never sleeps (a busy loop) a yield gives a whole time
  // slice away instead, where a sleeper would be woken at once. A yield that kept this thread away for
  // longer than yield_slice shows the second case: then no wait of this waiter yields for yield_rest,
  // twice as long after each such yield in a row, up to yield_rest_longest.
  static constexpr int spin_yields = 32;
  static constexpr std::chrono::microseconds yield_slice{1000};
  static constexpr std::chrono::milliseconds yield_rest{20};
  static constexpr std::chrono::milliseconds yield_rest_longest{1000};

  // A sleep lasts at most a slice, then the waiter tries again and sleeps anew, each slice twice as
  // long as the last up to longest_sleep_slice. A broadcast posts the semaphore once for every sleeper
  // counted and forgets them; a thread that counts itself just after can take one of those posts
  // before a sleeper the kernel has woken but not yet run takes it (Linux semaphores have no hand-off),
  // and that sleeper, counted by nobody now, sleeps on while the change it waits for is there. Under
  // load that left every receiver of a busy channel asleep for a whole receive limit (200 ms) while
  // their senders waited on them. The slices bound such a lost wake-up by the slice it falls in.
  static constexpr std::chrono::milliseconds first_sleep_slice{2};
  static constexpr std::chrono::milliseconds longest_sleep_slice{160};

  // Sleeps in one piece for the whole time limit, as the shared protocol alone does: for tests that
  // prove wake-ups are not lost, where a slice would hide a lost one. Set before the waiter is used.
  void set_sliced_sleep_for_testing(bool sliced) { sliced_sleep_ = sliced; }

 private:
  template <typename Attempt>
  bool spin_while(Attempt& attempt, std::chrono::nanoseconds length);
  template <typename Attempt>
  bool yield_while(Attempt& attempt);
  [[nodiscard]] bool yields_rest(std::chrono::steady_clock::time_point now) const {
    return now.time_since_epoch().count() < yields_rest_until_.load(std::memory_order_relaxed);
  }
  template <typename Attempt>
  bool poll_while(Attempt& attempt, std::uint64_t ms);
  // Whether a yield that took `took` ends the yields of this wait (and rests them for later waits).
  bool yield_was_slow(std::chrono::steady_clock::duration took);
  // What a wait found, for the length of later spins: a long spin that succeeded or failed, and a wait
  // that went on past its spin (yielded or slept) and ended `took` after its start.
  void long_spin_ended(bool succeeded);
  void waited_past_spin(std::chrono::steady_clock::duration took);
  // The next sleep of a wait with limit (ms, or no_limit) that ends at deadline: what is left of it,
  // at most slice when sleeps are sliced.
  [[nodiscard]] std::uint64_t sleep_length(std::uint32_t limit, std::chrono::steady_clock::time_point deadline,
                                           std::chrono::milliseconds slice) const;
  static constexpr std::uint32_t no_limit = 0xFFFF'FFFFu;
  void step(wait_step reached) const {
    if (step_hook_) step_hook_(reached);
  }

  named_condition condition_;
  named_mutex lock_;
  std::atomic<bool> stopped_{false};
  // Yields rest until this steady_clock count; slow_yields_ counts the slow yields in a row. Only a
  // heuristic: relaxed, and a race between two waiting threads costs one yield more or less.
  std::atomic<std::int64_t> yields_rest_until_{0};
  std::atomic<std::uint32_t> slow_yields_{0};
  // Whether waits spin long_spin_time; the quick waits past the spin in a row seen, and needed before
  // they do.
  // Heuristics as the yields' are: relaxed.
  std::atomic<bool> long_spin_{false};
  std::atomic<std::uint32_t> quick_waits_{0};
  std::atomic<std::uint32_t> quick_waits_needed_{long_spin_after};
  // With the partner on this processor no spin can succeed: the change needs the processor the spin
  // holds (a round trip on one processor lost a short spin on each side, 6 of its 17 us). A wait whose
  // change was there after a yield that kept it away for at least spin_time shows that the partner ran
  // in its place; the waits of this waiter then try once and yield at once, no spin, long or short,
  // until a yield that came back sooner finds the change (nobody ran here in between: the partner is
  // on another processor). Never while yields rest. A heuristic as the others: relaxed.
  std::atomic<bool> partner_here_{false};
  bool global_ = true;
  bool sliced_sleep_ = true;
  std::function<void(wait_step)> step_hook_;
};

template <typename Attempt>
bool waiter::wait_while(Attempt&& attempt, std::uint64_t ms) {
  if (ms == 0) return attempt();
  const auto start = std::chrono::steady_clock::now();
  if (partner_here_.load(std::memory_order_relaxed) && !yields_rest(start)) {
    if (attempt()) return true;
  } else {
    const bool long_spin = long_spin_.load(std::memory_order_relaxed);
    const bool spun = spin_while(attempt, long_spin ? long_spin_time : spin_time);
    if (long_spin) long_spin_ended(spun);
    if (spun) return true;
  }
  if (!stopped_.load() && yield_while(attempt)) {
    // A change that needed this processor says nothing of how long a partner elsewhere takes.
    if (!partner_here_.load(std::memory_order_relaxed)) waited_past_spin(std::chrono::steady_clock::now() - start);
    return true;
  }
  step(wait_step::spun);
  // A broadcast takes this lock first, so it cannot slip in between a failed attempt and the sleep.
  if (!lock_.lock()) return poll_while(attempt, ms);
  step(wait_step::locked);
  const auto limit = static_cast<std::uint32_t>(ms);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
  for (std::chrono::milliseconds slice = first_sleep_slice;; slice = std::min(slice * 2, longest_sleep_slice)) {
    if (stopped_.load() || attempt()) {
      lock_.unlock();
      waited_past_spin(std::chrono::steady_clock::now() - start);
      return true;
    }
    step(wait_step::checked);
    const bool announced = condition_.announce();
    if (announced) step(wait_step::announced);
    const named_condition::slept how =
        announced ? condition_.sleep(lock_, sleep_length(limit, deadline, slice)) : named_condition::slept::failed;
    const bool out_of_time = limit != no_limit && std::chrono::steady_clock::now() >= deadline;
    if (how == named_condition::slept::failed || (how == named_condition::slept::timed_out && out_of_time)) {
      lock_.unlock();
      return false;
    }
  }
}

template <typename Attempt>
bool waiter::spin_while(Attempt& attempt, std::chrono::nanoseconds length) {
  // The clock is read every few pauses only: on some machines reading it costs more than a pause.
  constexpr int pauses_per_check = 8;
  const auto until = std::chrono::steady_clock::now() + length;
  for (;;) {
    if (attempt()) return true;
    if (stopped_.load()) return false;
    for (int i = 0; i < pauses_per_check; ++i) platform::PauseProcessor();
    if (std::chrono::steady_clock::now() >= until) return false;
  }
}

template <typename Attempt>
bool waiter::yield_while(Attempt& attempt) {
  if (yields_rest(std::chrono::steady_clock::now())) return attempt();
  for (int i = 0; i < spin_yields; ++i) {
    const auto before = std::chrono::steady_clock::now();
    platform::YieldThread();
    step(wait_step::yielded);
    const auto took = std::chrono::steady_clock::now() - before;
    if (yield_was_slow(took)) return attempt();
    if (attempt()) {
      partner_here_.store(took >= spin_time, std::memory_order_relaxed);
      return true;
    }
    if (stopped_.load()) return false;
  }
  return false;
}

template <typename Attempt>
bool waiter::poll_while(Attempt& attempt, std::uint64_t ms) {
  const auto limit = static_cast<std::uint32_t>(ms);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
  for (std::uint32_t k = backoff_sleeps;;) {
    if (stopped_.load() || attempt()) return true;
    if (limit != no_limit && std::chrono::steady_clock::now() >= deadline) return false;
    backoff(k);
  }
}

}  // namespace ipc
