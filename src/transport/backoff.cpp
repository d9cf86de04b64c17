#include "transport/backoff.h"

#include <chrono>
#include <thread>

#include "platform/scheduling.h"

namespace ipc {

void backoff(std::uint32_t& k) {
  if (k < 4) {
    ++k;
  } else if (k < 16) {
    platform::PauseProcessor();
    ++k;
  } else {
    constexpr std::chrono::microseconds first_sleep{16};
    constexpr std::chrono::microseconds longest_sleep{1000};
    const std::uint32_t doublings = k - 16;
    const auto length = doublings >= 6 ? longest_sleep : first_sleep * (1 << doublings);
    if (k < backoff_sleeps) ++k;
    // A sleep may end early on some systems: the retry waits for the clock itself.
    const auto until = std::chrono::steady_clock::now() + length;
    while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
  }
}

void spin_lock::lock() {
  for (std::uint32_t k = 0; word_.exchange(1) != 0;) backoff(k);
}

bool spin_lock::try_lock_for(std::chrono::steady_clock::duration limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (std::uint32_t k = 0; word_.exchange(1) != 0;) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    backoff(k);
  }
  return true;
}

}  // namespace ipc
