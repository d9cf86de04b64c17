#include "transport/waiter.h"

#include <string>

namespace ipc {

bool waiter::open(std::string_view name) {
  close();
  stopped_.store(false);
  if (!condition_.open(std::string("_waiter_cond_").append(name), global_)) return false;
  if (!lock_.open(std::string("_waiter_lock_").append(name))) {
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
