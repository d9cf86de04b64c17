// Named mappings, mutexes and semaphores: the Windows semantics both backends must give.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "platform/named_sync.h"
#if !defined(_WIN32)
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/object_table.h"
#endif
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "support/test_support.h"

namespace {

using platform::ErrorCode;
using platform::NamedObject;
using platform::WaitResult;
using namespace std::chrono_literals;

using test_support::Unique;

struct Mapping {
  NamedObject handle;
  void* view = nullptr;
  std::uint64_t region = 0;
  bool existed = false;

  Mapping(const std::string& name, std::uint64_t size) {
    ErrorCode error = 0;
    handle = platform::CreateSharedMemory(name, size, error, &existed);
    if (!handle) return;
    view = platform::MapSharedMemory(handle, error);
    if (view != nullptr) platform::QueryRegionSize(view, region, error);
  }
  ~Mapping() {
    if (view != nullptr) platform::UnmapSharedMemory(view);
  }
  [[nodiscard]] unsigned char* Bytes() const { return static_cast<unsigned char*>(view); }
};

bool AllZero(const Mapping& mapping) {
  for (std::uint64_t i = 0; i < mapping.region; ++i) {
    if (mapping.Bytes()[i] != 0) return false;
  }
  return true;
}

TEST(SharedMemory, NewMappingsAreZeroAndPageRoundedAndExistingOnesKeepTheirSize) {
  const Mapping small(Unique("small"), 4);
  ASSERT_NE(small.view, nullptr);
  EXPECT_FALSE(small.existed);
  EXPECT_EQ(small.region, 4096u);
  EXPECT_TRUE(AllZero(small));
  small.Bytes()[4095] = 7;

  const Mapping larger_ask(Unique("small"), 24832);
  ASSERT_NE(larger_ask.view, nullptr);
  EXPECT_TRUE(larger_ask.existed);
  EXPECT_EQ(larger_ask.region, 4096u);
  EXPECT_EQ(larger_ask.Bytes()[4095], 7);

  const Mapping queue(Unique("queue"), 24832);
  ASSERT_NE(queue.view, nullptr);
  EXPECT_EQ(queue.region, 28672u);
  EXPECT_TRUE(AllZero(queue));
  const Mapping smaller_ask(Unique("queue"), 4);
  EXPECT_EQ(smaller_ask.region, 28672u);
}

TEST(SharedMemory, AMappingDiesWithItsLastHandleAndComesBackZeroed) {
  const std::string name = Unique("lifetime");
  {
    const Mapping first(name, 64);
    ASSERT_NE(first.view, nullptr);
    first.Bytes()[0] = 1;
  }
  const Mapping again(name, 64);
  ASSERT_NE(again.view, nullptr);
  EXPECT_FALSE(again.existed);
  EXPECT_EQ(again.Bytes()[0], 0);
}

TEST(NamedObjects, GlobalIsItsOwnNamespaceAndLocalIsTheDefault) {
  const std::string name = Unique("scope");
  const Mapping global("Global\\" + name, 16);
  ASSERT_NE(global.view, nullptr);
  global.Bytes()[0] = 1;
  const Mapping local("Local\\" + name, 16);
  ASSERT_NE(local.view, nullptr);
  EXPECT_FALSE(local.existed);
  EXPECT_EQ(local.Bytes()[0], 0);
  local.Bytes()[0] = 2;
  const Mapping bare(name, 16);
  ASSERT_NE(bare.view, nullptr);
  EXPECT_TRUE(bare.existed);
  EXPECT_EQ(bare.Bytes()[0], 2);

  ErrorCode error = 0;
  const NamedObject mutex = platform::CreateNamedMutex("Local\\" + name + "-mutex", error);
  ASSERT_TRUE(mutex);
  EXPECT_TRUE(platform::NamedMutexExists(name + "-mutex"));
  EXPECT_FALSE(platform::NamedMutexExists("Global\\" + name + "-mutex"));
}

TEST(NamedObjects, OddAndLongNamesStayDistinct) {
  // Dots, spaces, non-ASCII and lengths that a file name could not hold must all work.
  const std::string head = Unique("odd.name with \xC3\xBC-");
  const std::string long_a = head + std::string(150, '.') + "a";
  const std::string long_b = head + std::string(150, '.') + "b";
  const Mapping a(long_a, 8);
  const Mapping b(long_b, 8);
  ASSERT_NE(a.view, nullptr);
  ASSERT_NE(b.view, nullptr);
  a.Bytes()[0] = 1;
  EXPECT_EQ(b.Bytes()[0], 0);
  const Mapping a_again(long_a, 8);
  EXPECT_TRUE(a_again.existed);
}

TEST(NamedObjects, ANameHoldsOneKindOfObject) {
  const std::string name = Unique("kind");
  ErrorCode error = 0;
  const NamedObject mutex = platform::CreateNamedMutex(name, error);
  ASSERT_TRUE(mutex);
  EXPECT_FALSE(platform::CreateSharedMemory(name, 4, error));
  EXPECT_FALSE(platform::CreateNamedSemaphore(name, error));
}

TEST(NamedMutex, IsRecursiveAndOwnedByOneThread) {
  ErrorCode error = 0;
  const NamedObject mutex = platform::CreateNamedMutex(Unique("recursive"), error);
  ASSERT_TRUE(mutex);
  const auto other_thread_gets = [&] {
    return std::async(std::launch::async,
                      [&] {
                        ErrorCode ignored = 0;
                        const WaitResult result = platform::LockNamedMutex(mutex, 20, ignored);
                        const bool unlock_failed = !platform::UnlockNamedMutex(mutex, ignored);
                        if (result == WaitResult::kSignaled) platform::UnlockNamedMutex(mutex, ignored);
                        return std::make_pair(result, unlock_failed);
                      })
        .get();
  };
  ASSERT_EQ(platform::LockNamedMutex(mutex, platform::kInfinite, error), WaitResult::kSignaled);
  ASSERT_EQ(platform::LockNamedMutex(mutex, 0, error), WaitResult::kSignaled);
  EXPECT_EQ(other_thread_gets(), std::make_pair(WaitResult::kTimeout, true));  // and cannot release it
  ASSERT_TRUE(platform::UnlockNamedMutex(mutex, error));
  EXPECT_EQ(other_thread_gets().first, WaitResult::kTimeout);
  ASSERT_TRUE(platform::UnlockNamedMutex(mutex, error));
  EXPECT_EQ(other_thread_gets().first, WaitResult::kSignaled);
  EXPECT_FALSE(platform::UnlockNamedMutex(mutex, error));
}

TEST(NamedMutex, AThreadThatEndsHoldingItAbandonsItOnce) {
  ErrorCode error = 0;
  const NamedObject mutex = platform::CreateNamedMutex(Unique("abandoned"), error);
  ASSERT_TRUE(mutex);
  std::thread([&] {
    ErrorCode ignored = 0;
    platform::LockNamedMutex(mutex, platform::kInfinite, ignored);
  }).join();
  EXPECT_EQ(platform::LockNamedMutex(mutex, 5000, error), WaitResult::kAbandoned);
  ASSERT_TRUE(platform::UnlockNamedMutex(mutex, error));
  EXPECT_EQ(platform::LockNamedMutex(mutex, 5000, error), WaitResult::kSignaled);
  ASSERT_TRUE(platform::UnlockNamedMutex(mutex, error));
}

TEST(NamedSemaphore, CountsPostsUpToItsMaximum) {
  ErrorCode error = 0;
  const NamedObject semaphore = platform::CreateNamedSemaphore(Unique("count"), error);
  ASSERT_TRUE(semaphore);
  EXPECT_EQ(platform::WaitNamedSemaphore(semaphore, 0, error), WaitResult::kTimeout);
  ASSERT_TRUE(platform::PostNamedSemaphore(semaphore, 2, error));
  EXPECT_EQ(platform::WaitNamedSemaphore(semaphore, 0, error), WaitResult::kSignaled);
  EXPECT_EQ(platform::WaitNamedSemaphore(semaphore, 10, error), WaitResult::kSignaled);
  EXPECT_EQ(platform::WaitNamedSemaphore(semaphore, 10, error), WaitResult::kTimeout);

  ASSERT_TRUE(platform::PostNamedSemaphore(semaphore, platform::kSemaphoreMaximum, error));
  EXPECT_FALSE(platform::PostNamedSemaphore(semaphore, 1, error));  // nothing is added
  EXPECT_FALSE(platform::PostNamedSemaphore(semaphore, 0, error));
  EXPECT_EQ(platform::WaitNamedSemaphore(semaphore, 0, error), WaitResult::kSignaled);
  EXPECT_TRUE(platform::PostNamedSemaphore(semaphore, 1, error));
}

TEST(NamedSemaphore, SignalAndWaitReleasesTheMutexAndMissesNoPost) {
  ErrorCode error = 0;
  const NamedObject mutex = platform::CreateNamedMutex(Unique("sw-mutex"), error);
  const NamedObject semaphore = platform::CreateNamedSemaphore(Unique("sw-sem"), error);
  ASSERT_TRUE(mutex && semaphore);
  EXPECT_EQ(platform::SignalMutexAndWait(mutex, semaphore, 10, error), WaitResult::kFailed);  // not the owner

  // Each round the sleeper lets go of the mutex and sleeps in one step; the poster can only post once it
  // holds the mutex, i.e. right between the release and the wait. A lost post would time out.
  constexpr int kRounds = 200;
  std::atomic<bool> posting{true};
  auto poster = std::async(std::launch::async, [&] {
    ErrorCode ignored = 0;
    for (int round = 0; round < kRounds; ++round) {
      if (platform::LockNamedMutex(mutex, 10000, ignored) != WaitResult::kSignaled) return false;
      platform::PostNamedSemaphore(semaphore, 1, ignored);
      platform::UnlockNamedMutex(mutex, ignored);
    }
    posting = false;
    return true;
  });
  int woken = 0;
  ASSERT_EQ(platform::LockNamedMutex(mutex, platform::kInfinite, error), WaitResult::kSignaled);
  for (int round = 0; round < kRounds; ++round) {
    if (platform::SignalMutexAndWait(mutex, semaphore, 10000, error) == WaitResult::kSignaled) ++woken;
    ASSERT_EQ(platform::LockNamedMutex(mutex, platform::kInfinite, error), WaitResult::kSignaled);
  }
  ASSERT_TRUE(platform::UnlockNamedMutex(mutex, error));
  EXPECT_TRUE(poster.get());
  EXPECT_EQ(woken, kRounds);
}

// Holds its liveness mutex, reports that through a mapping, and waits to be killed.
const bool kLivenessRole =
    test_support::RegisterChildRole("hold-liveness-mutex", [](const std::vector<std::string>& arguments) {
      ErrorCode error = 0;
      const NamedObject mutex = platform::CreateOwnedMutex(arguments.at(0), error);
      const Mapping flag(arguments.at(1), 4);
      if (!mutex || flag.view == nullptr) return 1;
      std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(flag.view)).store(1);
      return test_support::SleepUntilKilled();
    });

TEST(LivenessMutex, IsSeenWhileItsHolderRunsAndGoneWhenItDies) {
  const std::string name = Unique("liveness");
  EXPECT_FALSE(platform::NamedMutexExists(name));
  const Mapping flag(Unique("liveness-flag"), 4);
  ASSERT_NE(flag.view, nullptr);
  auto child = test_support::StartChild("hold-liveness-mutex", {name, Unique("liveness-flag")});
  ASSERT_TRUE(child);
  const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
  while (std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(flag.view)).load() == 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    ASSERT_FALSE(child->Wait(1ms).has_value());
  }
  EXPECT_TRUE(platform::NamedMutexExists(name));
  // Created elsewhere, so this handle does not own it.
  ErrorCode error = 0;
  const NamedObject second = platform::CreateOwnedMutex(name, error);
  ASSERT_TRUE(second);
  EXPECT_EQ(platform::LockNamedMutex(second, 0, error), WaitResult::kTimeout);
  child->Kill();
  EXPECT_EQ(platform::LockNamedMutex(second, 5000, error), WaitResult::kAbandoned);
  EXPECT_TRUE(platform::UnlockNamedMutex(second, error));
  EXPECT_TRUE(platform::NamedMutexExists(name));  // our own handle keeps it
}

TEST(LivenessMutex, IsGoneAfterTheLastHandleCloses) {
  const std::string name = Unique("liveness-close");
  ErrorCode error = 0;
  NamedObject mutex = platform::CreateOwnedMutex(name, error);
  ASSERT_TRUE(mutex);
  EXPECT_TRUE(platform::NamedMutexExists(name));
  EXPECT_TRUE(platform::UnlockNamedMutex(mutex, error));  // created here: this thread owns it
  mutex.Reset();
  EXPECT_FALSE(platform::NamedMutexExists(name));
}

#if !defined(_WIN32)
// The Linux backend keeps an object alive through a shared file lock; an object it cannot lock must not
// get a name, or the next opener would take it for dead and remove it under its holder.
TEST(NamedObjectsOnLinux, ACreationThatCannotTakeItsLockFailsAndNamesNothing) {
  const std::string name = Unique("unlocked");
  ErrorCode error = 0;
  platform::posix::FailNextSharedLockForTesting(ENOLCK);
  EXPECT_FALSE(platform::CreateOwnedMutex(name, error));
  EXPECT_EQ(error, static_cast<ErrorCode>(ENOLCK));
  EXPECT_FALSE(platform::NamedMutexExists(name));

  const NamedObject mutex = platform::CreateOwnedMutex(name, error);
  ASSERT_TRUE(mutex);
  EXPECT_TRUE(platform::NamedMutexExists(name));
  platform::posix::FailNextSharedLockForTesting(ENOLCK);
  EXPECT_FALSE(platform::CreateSharedMemory(Unique("unlocked-mapping"), 16, error));
  EXPECT_EQ(error, static_cast<ErrorCode>(ENOLCK));
  EXPECT_TRUE(platform::UnlockNamedMutex(mutex, error));
}

// A count past the maximum can only come from another process's bytes; a wait must sleep through it, not
// spin a processor until its deadline.
TEST(NamedObjectsOnLinux, AWaitSleepsThroughACountPastTheMaximum) {
  ErrorCode error = 0;
  const NamedObject semaphore = platform::CreateNamedSemaphore(Unique("forged-count"), error);
  ASSERT_TRUE(semaphore);
  auto* words = static_cast<platform::posix::SemaphoreWords*>(
      platform::posix::RecordOf(semaphore.Get(), platform::posix::ObjectKind::kSemaphore, error)->Payload());
  std::atomic_ref<std::uint32_t>(words->count).store(0x8000'0000u);

  const auto thread_cpu = [] {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  };
  auto wait = std::async(std::launch::async, [&] {
    const auto cpu_before = thread_cpu();
    ErrorCode wait_error = 0;
    const WaitResult result = platform::WaitNamedSemaphore(semaphore, 400, wait_error);
    return std::pair(result, thread_cpu() - cpu_before);
  });
  if (wait.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "the wait ran past its deadline";
    std::atomic_ref<std::uint32_t>(words->count).store(1);  // a count it can take ends it
  }
  const auto [result, cpu] = wait.get();
  EXPECT_EQ(result, WaitResult::kTimeout);
  // A spinning wait burns most of its 400 ms; a sleeping one next to nothing.
  EXPECT_LT(cpu, 100ms);
}

// The thread id is kept per thread; a fork child must not go on with its parent's, or it could not
// unlock the mutexes it takes.
TEST(NamedObjectsOnLinux, AForkChildOwnsTheMutexesItTakes) {
  const std::uint32_t parent_thread = platform::CurrentThreadId();
  const std::string name = Unique("fork-owner");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ErrorCode error = 0;
    const NamedObject mutex = platform::CreateOwnedMutex(name, error);
    const bool owns = mutex && platform::UnlockNamedMutex(mutex, error);
    const bool fresh_id = platform::CurrentThreadId() == static_cast<std::uint32_t>(::getpid());
    ::_exit(owns && fresh_id ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(platform::CurrentThreadId(), parent_thread);
}
#endif

}  // namespace
