// One sleeper waits on a waiter for a flag; one waker sets the flag and broadcasts; a driver lets them
// go on step by step in a given order. The parties may be threads of one process or live in two, with
// their steps and the flag in a shared mapping. The sleeper's limit is infinite, so a lost wake-up is
// a sleeper that never returns.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "support/stepped_party.h"
#include "support/test_support.h"
#include "transport/waiter.h"

namespace wake_schedule {

using namespace std::chrono_literals;

inline constexpr std::uint64_t no_limit = 0xFFFF'FFFF;

// The sleeper's side: it stops at its start and at every step of the wait but the yields (a yield
// held by the driver would end the yields, and every order would then test the yields alone).
inline bool Sleep(ipc::waiter& sleeping, test_support::stepped_party& sleeper, std::atomic_ref<std::uint32_t> flag) {
  sleeping.set_sliced_sleep_for_testing(false);  // a lost wake-up must show as a hang
  sleeping.set_step_hook_for_testing([&](ipc::wait_step step) {
    if (step != ipc::wait_step::yielded) sleeper.arrive(test_support::kChildDeadline);
  });
  sleeper.arrive(test_support::kChildDeadline);
  const bool result = sleeping.wait_while([&] { return flag.load() != 0; }, no_limit);
  sleeper.finish();
  sleeping.set_step_hook_for_testing({});
  return result;
}

// The waker's side: publish, then wake.
inline void Wake(ipc::waiter& waking, test_support::stepped_party& waker, std::atomic_ref<std::uint32_t> flag) {
  waker.arrive(test_support::kChildDeadline);
  flag.store(1);
  waker.arrive(test_support::kChildDeadline);
  waking.broadcast();
  waker.finish();
}

// The steps between the sleeper's stops: spin, take the waiter lock, check, announce, sleep. The
// waker's: publish, wake.
inline constexpr int sleeper_steps = 5;
inline constexpr int waker_steps = 2;

struct outcome {
  bool sleeper_returned = false;
  bool waker_returned = false;
};

// Lets the two parties go on in order ('s' a step of the sleeper, 'w' one of the waker), then run free.
inline outcome Drive(test_support::stepped_party& sleeper, test_support::stepped_party& waker,
                     const std::string& order) {
  outcome result;
  const bool started = sleeper.started(test_support::kChildDeadline) && waker.started(test_support::kChildDeadline);
  // A party that does not stop again within this is taken to be blocked on the other; misjudging a slow
  // one only changes the order tried, never what is checked.
  constexpr auto settle = 20ms;
  if (started) {
    for (const char next : order) (next == 's' ? sleeper : waker).step(settle);
  }
  sleeper.run_free();
  waker.run_free();
  if (!started) return result;
  result.waker_returned = waker.finished_within(test_support::kChildDeadline);
  result.sleeper_returned = sleeper.finished_within(5s);
  return result;
}

}  // namespace wake_schedule
