#include "transport/waiter.h"

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
  // A sleeper holds the waiter lock from its last check until it is counted and asleep. So when the
  // lock is free, or ours, and the count is 0, every sleeper either has not checked yet (and will see
  // the caller's change, published before this probe) or is not waiting at all: nobody needs a wake-up.
  // Anything else, even a probe that failed or a negative count, takes the full wake-up.
  const named_mutex::probe_result probe = lock_.probe();
  step(wait_step::probed);
  if (probe == named_mutex::probe_result::held) return wake_all();
  const bool nobody = condition_.announced() == 0;
  step(wait_step::counted);
  if (probe == named_mutex::probe_result::free) return nobody ? false : wake_all();
  // Taken: the count read under the lock cannot grow before we let go.
  const bool woken = !nobody && condition_.broadcast();
  lock_.unlock();
  return woken;
}

bool waiter::wake_all() {
  // Wait until a sleeper that has checked its attempt is really asleep (it holds the lock until then).
  if (lock_.lock()) lock_.unlock();
  return condition_.broadcast();
}

void waiter::stop() {
  stopped_.store(true);
  broadcast();
}

}  // namespace ipc
