// The waiter's wake-up between root and another user of one login session, on a global waiter: the
// sleeper is a process of the second user, stopped between each pair of its steps by the waker's
// process, in every order. Both take the session's waiter lock, so no order may lose the wake-up.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/private_bus.h"
#include "platform/process.h"
#include "support/shared_word.h"
#include "support/test_support.h"
#include "transport/channel_helpers.h"
#include "transport/shm.h"
#include "transport/wake_schedule.h"

namespace {

constexpr const char* kSecondUser = "65534";
constexpr int kSkipped = 77;  // no private /dev/shm or login session could be had

// The shared words: the sleeper's steps, the flag it waits for, the round it is to run, and what its
// wait returned (1 true, 2 false).
enum : std::size_t { kSleeperSteps = 0, kFlag = test_support::stepped_party::words, kRound, kSleeperResult, kWords };
constexpr std::uint32_t kLastRound = 0xFFFF'FFFF;

using channel_test::Await;
using test_support::Word;

std::string RoundName(const std::string& base, std::uint32_t round) { return base + "-" + std::to_string(round); }

// The second user's process: in each round, sleeps on that round's waiter until the flag is set.
const bool kSleeperRole = test_support::RegisterChildRole("waiter-session-sleeper", [](const auto& arguments) {
  const ipc::shm::handle words(arguments.at(1), kWords * sizeof(std::uint32_t), true);
  if (!words.valid()) return 1;
  for (std::uint32_t round = 1;; ++round) {
    if (!Await([&] { return Word(words, kRound).load() >= round; })) return 2;
    if (Word(words, kRound).load() == kLastRound) return 0;
    ipc::waiter sleeping;
    if (!sleeping.open(RoundName(arguments.at(0), round))) return 3;
    test_support::stepped_party sleeper(static_cast<std::uint32_t*>(words.get()) + kSleeperSteps);
    const bool result = wake_schedule::Sleep(sleeping, sleeper, Word(words, kFlag));
    Word(words, kSleeperResult).store(result ? 1 : 2);
  }
});

// Root's process, in a /dev/shm of its own and a login session of the second user (as `sudo` from
// that user's login would have it): wakes the second user's sleeper in every order of their steps.
const bool kWakerRole = test_support::RegisterChildRole("waiter-session-waker", [](const auto&) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) {
    return kSkipped;
  }
  // Setting the login uid gives the process, and the sleeper it starts, a session of their own.
  if (!(std::ofstream("/proc/self/loginuid") << kSecondUser << std::flush)) return kSkipped;
  const std::string base = test_support::Unique("session-wake");
  const ipc::shm::handle words(base + "-words", kWords * sizeof(std::uint32_t), true);
  if (!words.valid()) return 1;
  auto child = platform::ChildProcess::Start(
      "/usr/bin/setpriv",
      {std::string("--reuid=") + kSecondUser, std::string("--regid=") + kSecondUser, "--clear-groups",
       platform::ExecutablePath().string(), "--child=waiter-session-sleeper", base, words.name()});
  if (!child) return 1;
  const std::vector<std::string> orders =
      test_support::Interleavings(wake_schedule::sleeper_steps, wake_schedule::waker_steps);
  int lost = 0;
  for (std::uint32_t round = 1; round <= orders.size(); ++round) {
    const std::string& order = orders[round - 1];
    ipc::waiter waking;
    if (!waking.open(RoundName(base, round))) return 1;
    for (std::size_t i = 0; i < kRound; ++i) Word(words, i).store(0);
    Word(words, kSleeperResult).store(0);
    Word(words, kRound).store(round);
    test_support::stepped_party sleeper(static_cast<std::uint32_t*>(words.get()) + kSleeperSteps);
    std::uint32_t waker_steps[test_support::stepped_party::words] = {};
    test_support::stepped_party waker(waker_steps);
    auto waker_done = std::async(std::launch::async, [&] { wake_schedule::Wake(waking, waker, Word(words, kFlag)); });
    const wake_schedule::outcome result = wake_schedule::Drive(sleeper, waker, order);
    waker_done.get();
    if (!result.sleeper_returned) {
      std::cerr << "lost wake-up in order " << order << "\n";
      ++lost;
      waking.broadcast();  // the flag is set and the sleeper counted: this one reaches it
    }
    if (!Await([&] { return Word(words, kSleeperResult).load() != 0; })) return 2;
    if (!result.waker_returned || Word(words, kSleeperResult).load() != 1) {
      std::cerr << "order " << order << ": the waker or the sleeper failed\n";
      ++lost;
    }
  }
  Word(words, kRound).store(kLastRound);
  const auto sleeper_code = child->Wait(test_support::kChildDeadline);
  if (sleeper_code != 0) std::cerr << "the sleeper's process ended with " << sleeper_code.value_or(-1) << "\n";
  return lost == 0 && sleeper_code == 0 ? 0 : 3;
});

TEST(WaiterWakeRule, NoOrderOfAnotherUsersSleeperInTheSessionAndAWakerLosesTheWakeUp) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run the sleeper as a second user";
  if (!std::filesystem::exists("/usr/bin/setpriv")) {
    GTEST_SKIP() << "needs setpriv, to run the sleeper as a second user";
  }
  // The objects live in the default bus's folders, in the waker's own /dev/shm.
  auto waker = test_support::StartChild("waiter-session-waker", {}, {{platform::kPrivateBusVariable, ""}});
  ASSERT_TRUE(waker);
  const auto code = waker->Wait(test_support::kChildDeadline);
  ASSERT_TRUE(code) << "the waker did not finish";
  if (*code == kSkipped) GTEST_SKIP() << "no private /dev/shm or login session here";
  EXPECT_EQ(*code, 0) << "see the waker's standard error";
}

}  // namespace
