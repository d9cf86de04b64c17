// Pacing of the transport's lock-free retry loops, and the spin lock that lives in shared memory.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace ipc {

// Paces one retry. k counts the failed attempts of the loop, starting at 0: the first 4 retries go at
// once, the next 12 pause the processor, and from then on every retry sleeps, 16 us at first and twice
// as long each time up to 1 ms; from k = backoff_sleeps on every retry sleeps 1 ms (k stops growing).
// Never a yield: on a busy processor a yield can give a whole time slice away, a sleep only its length.
void backoff(std::uint32_t& k);
// The k from which every retry sleeps 1 ms.
inline constexpr std::uint32_t backoff_sleeps = 32;

// A lock made of one 32-bit word, in shared memory or not: 0 free, 1 held. Whoever takes it must
// release it; a process that dies holding it leaves it held, and so does one that holds it on purpose:
// a word another process can reach is only ever taken with try_lock_for. Usable with std::lock_guard.
class spin_lock {
 public:
  // word must be 4-byte aligned and outlive the lock.
  explicit spin_lock(std::uint32_t& word) : word_(word) {}

  // Waits for the lock as long as it takes.
  void lock();
  // Waits for the lock at most limit; false, and not held, when it stayed taken.
  bool try_lock_for(std::chrono::steady_clock::duration limit);
  void unlock() { word_.store(0); }

 private:
  std::atomic_ref<std::uint32_t> word_;
};

}  // namespace ipc
