#include "transport/named_sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/process.h"
#include "support/log_capture.h"
#include "support/shared_word.h"
#include "support/test_support.h"
#include "transport/backoff.h"
#include "transport/shm.h"
#include "transport/waiter.h"

namespace {

using namespace std::chrono_literals;

using test_support::Unique;
using test_support::Word;

std::int32_t ReadCounter(const std::string& condition, bool global) {
  const ipc::shm::handle counter("_cond_shm_" + condition, 4, global);
  return *static_cast<const std::int32_t*>(counter.get());
}

// Polls until pred holds; false after the deadline or when the child ended first.
template <typename Pred>
bool Await(Pred pred, platform::ChildProcess* child = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (child != nullptr && child->Wait(1ms).has_value()) return pred();
    if (child == nullptr) std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Locks the mutex arguments[0], raises the flag mapping arguments[1] and waits to be killed.
const bool kHoldRole =
    test_support::RegisterChildRole("hold-named-mutex", [](const std::vector<std::string>& arguments) {
      ipc::named_mutex mutex;
      const ipc::shm::handle flag(arguments.at(1), 4);
      if (!mutex.open(arguments.at(0)) || !flag.valid() || !mutex.lock()) return 1;
      Word(flag).store(1);
      return test_support::SleepUntilKilled();
    });

TEST(NamedMutex, AMutexLeftByADeadProcessIsTakenOverWithOneLine) {
  const std::string name = "Local\\" + Unique("takeover");
  const ipc::shm::handle flag(Unique("takeover-flag"), 4);
  ipc::named_mutex mutex;
  ASSERT_TRUE(mutex.open(name));
  auto child = test_support::StartChild("hold-named-mutex", {name, flag.name()});
  ASSERT_TRUE(child);
  ASSERT_TRUE(Await([&] { return Word(flag).load() == 1; }, &*child));
  child->Kill();

  const test_support::LogCapture capture;
  ASSERT_TRUE(mutex.lock());
  ASSERT_TRUE(mutex.unlock());
  EXPECT_FALSE(mutex.unlock());  // the takeover left exactly one level held, now released
  ASSERT_TRUE(mutex.lock());
  ASSERT_TRUE(mutex.unlock());
  const auto lines = test_support::LogCapture::Take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, ipc::log_level_recovery);
  EXPECT_TRUE(lines[0].text.starts_with("fail WaitForSingleObject[")) << lines[0].text;
  EXPECT_TRUE(lines[0].text.ends_with("]: WAIT_ABANDONED, try again.\n")) << lines[0].text;
  EXPECT_EQ(lines[1].level, ipc::log_level_failure);
  EXPECT_TRUE(lines[1].text.starts_with("fail ReleaseMutex[")) << lines[1].text;
}

// Opens the condition arguments[0] and the mutex arguments[1] (local namespace), counts itself in the
// mapping arguments[2] while holding the mutex, and sleeps on the condition. Exit code 0 when woken.
const bool kSleepRole =
    test_support::RegisterChildRole("condition-sleeper", [](const std::vector<std::string>& arguments) {
      ipc::named_condition condition;
      ipc::named_mutex mutex;
      const ipc::shm::handle ready(arguments.at(2), 4);
      if (!condition.open(arguments.at(0), false) || !mutex.open(arguments.at(1)) || !ready.valid()) return 1;
      if (!mutex.lock()) return 1;
      Word(ready).fetch_add(1);
      const bool woken = condition.wait(mutex, 60'000);
      mutex.unlock();
      return woken ? 0 : 2;
    });

TEST(NamedCondition, ABroadcastWakesEverySleeperInEveryProcess) {
  const std::string condition_name = Unique("cond");
  const std::string mutex_name = Unique("cond-mutex");
  const ipc::shm::handle ready(Unique("cond-ready"), 4);
  ipc::named_condition condition;
  ipc::named_mutex mutex;
  ASSERT_TRUE(condition.open(condition_name, false));
  ASSERT_TRUE(mutex.open(mutex_name));
  EXPECT_FALSE(condition.broadcast());  // nobody to wake

  auto first = test_support::StartChild("condition-sleeper", {condition_name, mutex_name, ready.name()});
  auto second = test_support::StartChild("condition-sleeper", {condition_name, mutex_name, ready.name()});
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(Await([&] { return Word(ready).load() == 2; }));
  // Each sleeper holds the mutex from counting itself until it sleeps: once we hold it, both sleep.
  ASSERT_TRUE(mutex.lock());
  EXPECT_EQ(ReadCounter(condition_name, false), 2);
  EXPECT_TRUE(condition.broadcast());
  EXPECT_EQ(ReadCounter(condition_name, false), 0);
  ASSERT_TRUE(mutex.unlock());
  EXPECT_EQ(first->Wait(test_support::kChildDeadline), 0);
  EXPECT_EQ(second->Wait(test_support::kChildDeadline), 0);
}

TEST(NamedCondition, ANegativeCounterCountsFromOneAndATimeoutUncounts) {
  const std::string name = Unique("negative");
  ipc::named_condition condition;
  ipc::named_mutex mutex;
  ASSERT_TRUE(condition.open(name, true));
  ASSERT_TRUE(mutex.open("Global\\" + Unique("negative-mutex")));
  {
    const ipc::shm::handle counter("_cond_shm_" + name, 4, true);
    *static_cast<std::int32_t*>(counter.get()) = -5;
  }
  ASSERT_TRUE(mutex.lock());
  EXPECT_FALSE(condition.wait(mutex, 20));  // runs out, but holds the mutex again
  EXPECT_EQ(ReadCounter(name, true), 0);    // counted from 1, uncounted on the timeout
  ASSERT_TRUE(mutex.unlock());

  {
    const ipc::shm::handle counter("_cond_shm_" + name, 4, true);
    *static_cast<std::int32_t*>(counter.get()) = -5;
  }
  std::atomic<bool> sleeping{false};
  auto sleeper = std::async(std::launch::async, [&] {
    if (!mutex.lock()) return false;
    sleeping = true;
    const bool woken = condition.wait(mutex, 60'000);
    return mutex.unlock() && woken;
  });
  ASSERT_TRUE(Await([&] { return sleeping.load(); }));
  ASSERT_TRUE(mutex.lock());
  EXPECT_EQ(ReadCounter(name, true), 1);
  EXPECT_TRUE(condition.broadcast());
  ASSERT_TRUE(mutex.unlock());
  ASSERT_EQ(sleeper.wait_for(test_support::kChildDeadline), std::future_status::ready);
  EXPECT_TRUE(sleeper.get());
}

TEST(NamedCondition, FailsAsAWholeWhenOnePartCannotOpen) {
  const test_support::LogCapture capture;
  const std::string name = Unique("part");
  ipc::named_mutex squatter;  // a mutex under the semaphore's name
  ASSERT_TRUE(squatter.open("Local\\_cond_sem_" + name));
  ipc::named_condition condition;
  EXPECT_FALSE(condition.open(name, false));
  EXPECT_FALSE(condition.valid());
  EXPECT_FALSE(condition.broadcast());
  const auto lines = test_support::LogCapture::Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].text.starts_with("fail CreateSemaphore[")) << lines[0].text;
  EXPECT_TRUE(lines[0].text.ends_with("]: Local\\_cond_sem_" + name + "\n")) << lines[0].text;
}

TEST(Waiter, AStoppedWaiterReturnsAfterItsSpinPhase) {
  ipc::waiter waiter;
  ASSERT_TRUE(waiter.open(Unique("stopped")));
  waiter.stop();
  int attempts = 0;
  // Were it to sleep, nothing would wake it within the time limit and the result would be false.
  EXPECT_TRUE(waiter.wait_while([&] { return ++attempts, false; }, 60'000));
  EXPECT_GE(attempts, 1);
  EXPECT_TRUE(waiter.open(Unique("stopped")));
  EXPECT_FALSE(waiter.stopped());
}

TEST(Waiter, ZeroMillisecondsRunsTheAttemptOnceWithoutTheLock) {
  ipc::waiter waiter;
  waiter.set_global(false);
  ASSERT_TRUE(waiter.open(Unique("zero")));
  // Another thread holds the waiter's lock throughout: a wait that touched it would block.
  std::promise<void> release;
  std::promise<void> held;
  std::thread holder([&] {
    ipc::named_mutex lock;
    lock.open("_waiter_lock_" + Unique("zero"));
    lock.lock();
    held.set_value();
    release.get_future().wait();
    lock.unlock();
  });
  held.get_future().wait();
  int attempts = 0;
  auto wait = std::async(std::launch::async, [&] { return waiter.wait_while([&] { return ++attempts, false; }, 0); });
  const bool finished = wait.wait_for(test_support::kChildDeadline) == std::future_status::ready;
  release.set_value();
  holder.join();
  EXPECT_TRUE(finished);
  EXPECT_FALSE(wait.get());
  EXPECT_EQ(attempts, 1);
}

TEST(Waiter, SleepersWakeOnBroadcastAndOnAStopFromAnotherThread) {
  ipc::waiter waiter;
  ASSERT_TRUE(waiter.open(Unique("wake")));
  std::atomic<bool> ready{false};
  std::atomic<int> announced{0};
  waiter.set_step_hook_for_testing([&](ipc::wait_step step) {
    if (step == ipc::wait_step::announced) ++announced;
  });
  auto sleeper =
      std::async(std::launch::async, [&] { return waiter.wait_while([&] { return ready.load(); }, 0xFFFFFFFF); });
  // Past its spin phase. It announces itself again after every slice of its sleep, so this thread,
  // held back for a slice, may find more than one announcement.
  ASSERT_TRUE(Await([&] { return announced.load() >= 1; }));
  ready = true;
  waiter.broadcast();
  ASSERT_EQ(sleeper.wait_for(test_support::kChildDeadline), std::future_status::ready);
  EXPECT_TRUE(sleeper.get());

  const int before = announced.load();
  auto stopped = std::async(std::launch::async, [&] { return waiter.wait_while([] { return false; }, 0xFFFFFFFF); });
  ASSERT_TRUE(Await([&] { return announced.load() > before; }));
  waiter.stop();
  ASSERT_EQ(stopped.wait_for(test_support::kChildDeadline), std::future_status::ready);
  EXPECT_TRUE(stopped.get());
}

// A waiter whose objects could not be opened (another user's folder in the way, say) cannot sleep on its
// condition; it must still wait for the attempt, by polling, rather than give up at once and let its
// caller retry in a spin.
TEST(Waiter, AWaiterWithoutItsLockPollsUntilTheAttemptSucceedsOrTimeRunsOut) {
  ipc::waiter waiter;  // never opened
  std::atomic<bool> ready{false};
  std::atomic<int> attempts{0};
  auto poller = std::async(std::launch::async,
                           [&] { return waiter.wait_while([&] { return ++attempts, ready.load(); }, 0xFFFFFFFF); });
  ASSERT_TRUE(Await([&] { return attempts.load() > 40; }));  // still trying
  ready = true;
  ASSERT_EQ(poller.wait_for(test_support::kChildDeadline), std::future_status::ready);
  EXPECT_TRUE(poller.get());

  attempts = 0;
  EXPECT_FALSE(waiter.wait_while([&] { return ++attempts, false; }, 50));
  // About one try a millisecond once the spin phase (a few microseconds) is over, not thousands.
  EXPECT_GT(attempts.load(), 25);
  EXPECT_LT(attempts.load(), 1000);
}

TEST(SpinLock, KeepsThreadsOutOfEachOther) {
  alignas(4) std::uint32_t word = 0;
  long long shared = 0;
  const auto work = [&] {
    ipc::spin_lock lock(word);
    for (int i = 0; i < 20000; ++i) {
      const std::lock_guard guard(lock);
      ++shared;
    }
  };
  std::thread other(work);
  work();
  other.join();
  EXPECT_EQ(shared, 40000);
  EXPECT_EQ(word, 0u);
}

TEST(SpinLock, GivesUpOnAWordHeldPastItsBound) {
  alignas(4) std::uint32_t word = 1;  // a holder that never lets go
  ipc::spin_lock lock(word);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(lock.try_lock_for(std::chrono::milliseconds(20)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  EXPECT_EQ(word, 1u);

  word = 0;
  ASSERT_TRUE(lock.try_lock_for(std::chrono::milliseconds(0)));
  EXPECT_EQ(word, 1u);
  lock.unlock();
  EXPECT_EQ(word, 0u);
}

TEST(Backoff, SleepsLongerEachTimeUpToAMillisecondAndStopsCounting) {
  std::uint32_t k = 0;
  for (int i = 0; i < 16; ++i) ipc::backoff(k);  // no sleep yet
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 18; ++i) ipc::backoff(k);
  // 16 + 32 + ... + 512 us, then 1 ms each: at least 11 ms, not 18.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 11ms);
  EXPECT_EQ(k, ipc::backoff_sleeps);
}

}  // namespace
