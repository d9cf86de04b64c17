#include "transport/waiter.h"

#include "platform/named_sync.h"
#include "transport/channel_layout.h"

namespace ipc {

bool waiter::open(std::string_view name) {
  close();
  stopped_.store(false);
  if (!condition_.open(layout::waiter_condition_name(name), global_)) return false;
  if (!lock_.open(layout::waiter_lock_name(name))) {
    condition_.close();
    return false;
  }
  return valid();
}

void waiter::close() {
  condition_.close();
  lock_.close();
}

bool waiter::broadcast() {
  // A sleeper holds the lock from its last failed attempt until it has announced itself and sleeps. So
  // with the lock free, whoever has not announced itself yet will try again after our change and see
  // it, and a counter of 0 says nobody sleeps: nothing to wake. The change was stored (sequentially
  // consistent) before this look, which takes no lock on Linux and no cache line away from the other side.
  const auto nobody_counted = [](void* condition) {
    return static_cast<named_condition*>(condition)->nobody_counted();
  };
  if (platform::IfNamedMutexFree(lock_.native(), nobody_counted, &condition_)) return false;
  // Wait until a sleeper that has checked its attempt is really asleep (it holds the lock until then).
  if (lock_.lock()) lock_.unlock();
  return condition_.broadcast();
}

bool waiter::yield_was_slow(std::chrono::steady_clock::duration took) {
  if (took <= yield_slice) {
    slow_yields_.store(0, std::memory_order_relaxed);
    return false;
  }
  const std::uint32_t in_a_row = slow_yields_.fetch_add(1, std::memory_order_relaxed);
  auto rest = std::chrono::steady_clock::duration(yield_rest);
  for (std::uint32_t i = 0; i < in_a_row && rest < yield_rest_longest; ++i) rest *= 2;
  if (rest > yield_rest_longest) rest = yield_rest_longest;
  yields_rest_until_.store((std::chrono::steady_clock::now() + rest).time_since_epoch().count(),
                           std::memory_order_relaxed);
  return true;
}

std::uint64_t waiter::sleep_length(std::uint32_t limit, std::chrono::steady_clock::time_point deadline,
                                   std::chrono::milliseconds slice) const {
  std::uint64_t length = limit;
  if (limit != no_limit) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    length = left.count() > 0 ? static_cast<std::uint64_t>(left.count()) : 0;
  }
  const auto longest = static_cast<std::uint64_t>(slice.count());
  return sliced_sleep_ && length > longest ? longest : length;
}

void waiter::long_spin_ended(bool succeeded) {
  if (succeeded) {
    quick_waits_needed_.store(long_spin_after, std::memory_order_relaxed);
    return;
  }
  long_spin_.store(false, std::memory_order_relaxed);
  quick_waits_.store(0, std::memory_order_relaxed);
  const std::uint32_t needed = quick_waits_needed_.load(std::memory_order_relaxed);
  quick_waits_needed_.store(needed * 2 < long_spin_after_most ? needed * 2 : long_spin_after_most,
                            std::memory_order_relaxed);
}

void waiter::waited_past_spin(std::chrono::steady_clock::duration took) {
  if (took > long_spin_time) {
    quick_waits_.store(0, std::memory_order_relaxed);
    return;
  }
  if (quick_waits_.fetch_add(1, std::memory_order_relaxed) + 1 >= quick_waits_needed_.load(std::memory_order_relaxed)) {
    quick_waits_.store(0, std::memory_order_relaxed);
    long_spin_.store(true, std::memory_order_relaxed);
  }
}

void waiter::stop() {
  stopped_.store(true);
  broadcast();
}

}  // namespace ipc
