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
  // Wait until a sleeper that has checked its attempt is really asleep (it holds the lock until then).
  if (lock_.lock()) lock_.unlock();
  return condition_.broadcast();
}

void waiter::stop() {
  stopped_.store(true);
  broadcast();
}

}  // namespace ipc
