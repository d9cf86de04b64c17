// The waiter's wake-up: these tests stop a sleeping thread and a broadcasting one between their steps,
// in every order, with the sleeper's time limit infinite: a lost wake-up is a sleeper that never returns.
#include "transport/waiter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "transport/channel_layout.h"
#include "transport/named_sync.h"
#include "transport/wake_schedule.h"

namespace {

using namespace std::chrono_literals;

using test_support::Unique;

using wake_schedule::no_limit;

// One sleeper and one waker, threads of this process, each with a waiter of its own on the same objects.
wake_schedule::outcome RunSchedule(const std::string& name, const std::string& order, bool global) {
  ipc::waiter sleeping;
  ipc::waiter waking;
  sleeping.set_global(global);
  waking.set_global(global);
  if (!sleeping.open(name) || !waking.open(name)) return {};
  std::uint32_t words[2 * test_support::stepped_party::words + 1] = {};
  test_support::stepped_party sleeper(words);
  test_support::stepped_party waker(words + test_support::stepped_party::words);
  const std::atomic_ref<std::uint32_t> flag(words[2 * test_support::stepped_party::words]);
  auto sleeper_result = std::async(std::launch::async, [&] { return wake_schedule::Sleep(sleeping, sleeper, flag); });
  auto waker_done = std::async(std::launch::async, [&] { wake_schedule::Wake(waking, waker, flag); });
  const wake_schedule::outcome result = wake_schedule::Drive(sleeper, waker, order);
  if (!result.sleeper_returned) sleeping.stop();  // a lost wake-up: end the sleep so the thread can join
  EXPECT_TRUE(sleeper_result.get()) << order;
  waker_done.get();
  return result;
}

// Every order of the sleeper's steps and the waker's (wake_schedule.h).
TEST(WaiterWakeRule, NoOrderOfASleeperAndAWakerLosesTheWakeUp) {
  const std::vector<std::string> orders =
      test_support::Interleavings(wake_schedule::sleeper_steps, wake_schedule::waker_steps);
  ASSERT_EQ(orders.size(), 21u);
  for (std::size_t i = 0; i < orders.size(); ++i) {
    const wake_schedule::outcome result = RunSchedule(Unique("order" + std::to_string(i)), orders[i], i % 2 == 0);
    EXPECT_TRUE(result.waker_returned) << orders[i];
    EXPECT_TRUE(result.sleeper_returned) << "lost wake-up in order " << orders[i];
  }
}

// A sleeper must sleep in the kernel, not poll: while asleep, it does not run its attempt, and the
// spin before the sleep is bounded by time, not by a count of tries.
TEST(WaiterWakeRule, ASleeperSpinsBrieflyThenSleepsUntilWoken) {
  ipc::waiter waiter;
  ASSERT_TRUE(waiter.open(Unique("spin")));
  waiter.set_sliced_sleep_for_testing(false);  // no tries between slices while it sleeps
  std::promise<void> announced;
  waiter.set_step_hook_for_testing([&](ipc::wait_step step) {
    if (step == ipc::wait_step::announced) announced.set_value();
  });
  std::atomic<int> attempts{0};
  std::atomic<bool> flag{false};
  const auto start = std::chrono::steady_clock::now();
  auto sleeper = std::async(std::launch::async,
                            [&] { return waiter.wait_while([&] { return ++attempts, flag.load(); }, no_limit); });
  ASSERT_EQ(announced.get_future().wait_for(test_support::kChildDeadline), std::future_status::ready);
  const int before_sleep = attempts.load();
  // Generous against a busy machine; a spin that counted yields instead of time could take far longer.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  flag = true;
  EXPECT_TRUE(waiter.broadcast());
  ASSERT_EQ(sleeper.wait_for(test_support::kChildDeadline), std::future_status::ready);
  EXPECT_TRUE(sleeper.get());
  EXPECT_EQ(attempts.load(), before_sleep + 1);  // one try under the lock once woken, none while asleep
}

// A yield hands the processor to a partner when partners outnumber processors, but gives a whole time
// slice away to a busy loop. One yield that kept the waiter away for longer than yield_slice ends the
// yields of its wait and of the waits that follow for yield_rest.
TEST(WaiterYields, AYieldThatLostASliceRestsTheYieldsOfLaterWaits) {
  ipc::waiter waiter;
  ASSERT_TRUE(waiter.open(Unique("yields")));
  int yields = 0;
  waiter.set_step_hook_for_testing([&](ipc::wait_step step) {
    // Every yield stands for one that lost a slice to a busy loop.
    if (step != ipc::wait_step::yielded) return;
    ++yields;
    std::this_thread::sleep_for(ipc::waiter::yield_slice * 2);
  });
  EXPECT_FALSE(waiter.wait_while([] { return false; }, 1));
  EXPECT_EQ(yields, 1);  // a fresh waiter yields, once here
  const auto rested = std::chrono::steady_clock::now();
  EXPECT_FALSE(waiter.wait_while([] { return false; }, 1));
  // Only within the rest: a machine that held this thread back longer ended it.
  if (std::chrono::steady_clock::now() - rested < ipc::waiter::yield_rest) {
    EXPECT_EQ(yields, 1);
  }
}

// A partner on another processor answers a few microseconds after the short spin gives up; once a
// wait shows that, the next waits spin long enough to catch it, until a long spin fails.
TEST(WaiterSpin, AChangeSoonAfterTheSpinLengthensTheNextSpinsUntilOneFails) {
  // A late change comes at the first step past the short spin (a yield, or the spin phase's end when
  // yields rest); a soon one 4 spin_times after the wait's start, within a long spin.
  bool late = false;
  bool changed = false;
  int past_spin = 0;
  const auto wait_for_change = [&](ipc::waiter& waiter, bool late_change) {
    late = late_change;
    changed = false;
    past_spin = 0;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = waiter.wait_while(
        [&] { return changed || (!late && std::chrono::steady_clock::now() - start >= ipc::waiter::spin_time * 4); },
        1000);
    return std::make_pair(ok, std::chrono::steady_clock::now() - start);
  };
  // A late wait the machine held back for longer than a long spin teaches nothing, and one whose
  // yield kept it away for a spin_time teaches that the partner runs here, so that the next wait skips
  // its spin: try again, afresh. A machine busy on this processor may leave no try that shows anything.
  for (int i = 0; i < 50; ++i) {
    ipc::waiter waiter;
    ASSERT_TRUE(waiter.open(Unique("long-spin")));
    waiter.set_step_hook_for_testing([&](ipc::wait_step step) {
      if (step != ipc::wait_step::yielded && step != ipc::wait_step::spun) return;
      ++past_spin;
      changed = changed || late;
    });
    const auto [late_ok, late_took] = wait_for_change(waiter, true);
    if (!late_ok || late_took >= ipc::waiter::long_spin_time || waiter.skips_spin_for_testing()) continue;

    const auto [ok, took] = wait_for_change(waiter, false);
    EXPECT_TRUE(ok);
    if (took < ipc::waiter::long_spin_time) {
      EXPECT_EQ(past_spin, 0);  // caught by the long spin
    }
    // A change that does not come within a long spin turns long spins off: waits get past the spin again.
    EXPECT_FALSE(waiter.wait_while([] { return false; }, 1));
    bool got_past = false;
    for (int j = 0; j < 20 && !got_past; ++j) got_past = wait_for_change(waiter, false).first && past_spin > 0;
    EXPECT_TRUE(got_past);
    return;
  }
  GTEST_SKIP() << "no late change came soon after the spin, with a quick yield, in 50 tries";
}

// On one processor the partner's change needs the processor a spin holds. A change that was there after
// a yield that kept the waiter away for a while (the partner ran in its place) makes the next waits
// yield after one attempt; a change found after a quick yield (nobody ran here) brings the spin back.
TEST(WaiterSpin, AChangeMadeWhileAYieldKeptTheWaiterAwaySkipsTheNextSpins) {
  // Attempts before the first yield of a wait whose change never comes; -1 when it did not yield (its
  // yields rested after one the machine held back for a whole slice).
  const auto attempts_before_yield = [](ipc::waiter& waiter) {
    int attempts = 0;
    int before_yield = -1;
    waiter.set_step_hook_for_testing([&](ipc::wait_step step) {
      if (step == ipc::wait_step::yielded && before_yield < 0) before_yield = attempts;
    });
    EXPECT_FALSE(waiter.wait_while([&] { return ++attempts, false; }, 1));
    return before_yield;
  };
  // The change is there after the wait's first yield, which the hook makes take `away` at least. True
  // when the wait yielded and the yield, from the attempt before it to the hook's end, kept well within
  // a slice (a longer one rests the yields and teaches nothing).
  const auto changed_after_yield = [](ipc::waiter& waiter, std::chrono::microseconds away) {
    bool yielded = false;
    std::chrono::steady_clock::time_point last_attempt;
    std::chrono::steady_clock::duration kept_away{};
    waiter.set_step_hook_for_testing([&](ipc::wait_step step) {
      if (step != ipc::wait_step::yielded || yielded) return;
      yielded = true;
      // Held here on the clock: a sleep this short may end at once (seen under Wine).
      const auto until = std::chrono::steady_clock::now() + away;
      while (std::chrono::steady_clock::now() < until) {
      }
      kept_away = std::chrono::steady_clock::now() - last_attempt;
    });
    const bool changed = waiter.wait_while(
        [&] {
          last_attempt = std::chrono::steady_clock::now();
          return yielded;
        },
        1);
    return changed && kept_away < ipc::waiter::yield_slice / 2;
  };
  // Each try needs a yield that comes back within a spin_time when nobody else runs, which a machine
  // busy on every processor does not give.
  int tries_that_yielded = 0;
  bool skipped = false;
  bool spins_again = false;
  for (int i = 0; i < 20 && !(skipped && spins_again); ++i) {
    ipc::waiter waiter;
    ASSERT_TRUE(waiter.open(Unique("partner-here")));
    if (!changed_after_yield(waiter, 100us)) continue;
    EXPECT_TRUE(waiter.skips_spin_for_testing());
    const int skipping = attempts_before_yield(waiter);
    if (skipping < 0) continue;
    skipped = skipping == 1;
    EXPECT_EQ(skipping, 1);
    // A busy machine may keep even an idle yield away for a spin_time: then nothing is unlearnt.
    if (!changed_after_yield(waiter, 0us) || waiter.skips_spin_for_testing()) continue;
    ++tries_that_yielded;
    // A machine that holds this thread back for the whole spin leaves one attempt in it: try again.
    spins_again = attempts_before_yield(waiter) > 1;
  }
  if (tries_that_yielded == 0) GTEST_SKIP() << "no try had a yield that came back quickly";
  EXPECT_TRUE(skipped);
  EXPECT_TRUE(spins_again);
}

enum class robbery {
  not_taken,  // the sleeper took its post before the thief could
  woke,       // the thief took it, and the sleeper woke all the same
  slept_on,   // the thief took it, and the sleeper slept on with the change there to see
};

// A sleeper waits for a flag, with a limit of a minute. Once it sleeps, the flag is set and a broadcast
// posts for it; at once a thread counts itself on the same condition and sleeps, which takes that post
// if the sleeper has not run yet.
robbery Rob(const std::string& name, bool sliced) {
  ipc::waiter waiter;
  waiter.set_sliced_sleep_for_testing(sliced);
  std::atomic<int> announced{0};
  waiter.set_step_hook_for_testing([&](ipc::wait_step step) {
    if (step == ipc::wait_step::announced) ++announced;
  });
  ipc::named_condition condition;
  ipc::named_mutex lock;
  if (!waiter.open(name) || !condition.open(ipc::layout::waiter_condition_name(name), true) ||
      !lock.open(ipc::layout::waiter_lock_name(name))) {
    ADD_FAILURE() << "open";
    return robbery::not_taken;
  }
  std::atomic<bool> flag{false};
  auto sleeper = std::async(std::launch::async, [&] { return waiter.wait_while([&] { return flag.load(); }, 60'000); });
  const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
  while (announced.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  // The sleeper holds this lock from its last try until it sleeps.
  EXPECT_TRUE(lock.lock());
  flag.store(true);
  EXPECT_TRUE(condition.broadcast());
  const bool robbed = condition.announce() && condition.sleep(lock, 0) == ipc::named_condition::slept::woken;
  EXPECT_TRUE(lock.unlock());
  robbery result = robbery::not_taken;
  if (robbed) result = sleeper.wait_for(2s) == std::future_status::ready ? robbery::woke : robbery::slept_on;
  waiter.stop();
  EXPECT_TRUE(sleeper.get());
  return result;
}

// Semaphore posts are not handed to the sleepers they were made for: a thread that counts itself after
// a broadcast can take one before a woken sleeper runs. The shared protocol alone then leaves that
// sleeper asleep, counted by nobody, until its limit; our waiter sleeps in slices and tries again.
TEST(WaiterSleep, ASleeperRobbedOfItsWakeUpTriesAgainWithinASlice) {
  for (const bool sliced : {false, true}) {
    int robbed = 0;
    for (int round = 0; round < 20 && robbed < 2; ++round) {
      const robbery result = Rob(Unique("rob" + std::to_string(round)), sliced);
      if (result == robbery::not_taken) continue;
      ++robbed;
      EXPECT_EQ(result, sliced ? robbery::woke : robbery::slept_on) << "sliced " << sliced;
    }
    if (robbed == 0) GTEST_SKIP() << "every sleeper took its post before the thief could";
  }
}

}  // namespace
