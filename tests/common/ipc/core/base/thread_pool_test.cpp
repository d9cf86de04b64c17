#include "common/ipc/core/base/thread_pool.h"

#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <regex>

namespace {

using ipc::ThreadPool;

constexpr std::uint32_t kDeadlineMs = 60'000;  // only reached when something is broken

// A gate that tasks wait at until the test opens it.
class Gate {
 public:
  void Open() { opened_.set_value(); }
  void Wait() const { ready_.wait(); }

 private:
  std::promise<void> opened_;
  std::shared_future<void> ready_ = opened_.get_future().share();
};

TEST(ThreadPool, AnIdlePoolIsIdleAtOnce) {
  ThreadPool pool("decode_pool", 4);
  EXPECT_TRUE(pool.WaitIdle(0));
  EXPECT_TRUE(pool.WaitIdle(std::numeric_limits<std::uint32_t>::max()));
  EXPECT_TRUE(pool.StuckReport().empty());
}

TEST(ThreadPool, WaitIdleWaitsForRunningAndQueuedTasks) {
  ThreadPool pool("handler_pool", 2);
  Gate gate;
  std::atomic<int> done{0};
  for (int i = 0; i < 5; ++i) {
    pool.Submit(
        [&] {
          gate.Wait();
          ++done;
        },
        "");
  }
  EXPECT_FALSE(pool.WaitIdle(20));
  EXPECT_TRUE(pool.StuckReport().empty());  // busy, but not for long
  gate.Open();
  EXPECT_TRUE(pool.WaitIdle(kDeadlineMs));
  EXPECT_EQ(done, 5);
}

TEST(ThreadPool, OneWorkerRunsTasksInSubmissionOrder) {
  ThreadPool pool("query_pool", 1);
  std::vector<int> order;  // only the one worker touches it
  for (int i = 0; i < 50; ++i) pool.Submit([&order, i] { order.push_back(i); }, "query_id=" + std::to_string(i));
  ASSERT_TRUE(pool.WaitIdle(kDeadlineMs));
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(ThreadPool, DestructionRunsEverythingStillQueued) {
  auto pool = std::make_unique<ThreadPool>("decode_pool", 1);
  Gate gate;
  std::atomic<int> done{0};
  pool->Submit([&] { gate.Wait(); }, "");
  for (int i = 0; i < 10; ++i) pool->Submit([&] { ++done; }, "");

  ThreadPool* const raw = pool.get();
  std::thread destroyer([&] { pool.reset(); });
  // A stopping pool counts as idle: once this returns, destruction has begun with 10 tasks queued.
  EXPECT_TRUE(raw->WaitIdle(kDeadlineMs));
  EXPECT_EQ(done, 0);
  gate.Open();
  destroyer.join();
  EXPECT_EQ(done, 10);
}

TEST(ThreadPool, StallLinesStartAfter5000WholeMilliseconds) {
  EXPECT_FALSE(ThreadPool::StuckLine("p", 0, "", 5'000'900'000));
  EXPECT_EQ(ThreadPool::StuckLine("p", 0, "", 5'001'000'000), "[p] thread#0 stuck for 5001ms tag=[]");
  EXPECT_EQ(ThreadPool::StuckLine("handler_pool", 3, "msg_id=12,id=ab", 7'250'400'000),
            "[handler_pool] thread#3 stuck for 7250ms tag=[msg_id=12,id=ab]");
}

// The one test that waits out the real threshold.
TEST(ThreadPool, AWorkerHangingOnATaskIsReported) {
  ThreadPool pool("handler_pool", 2);
  Gate gate;
  std::promise<void> started;
  pool.Submit(
      [&] {
        started.set_value();
        gate.Wait();
      },
      "msg_id=12,id=ab");
  started.get_future().wait();

  EXPECT_FALSE(pool.WaitIdle(5100));
  const auto lines = pool.StuckReport();
  ASSERT_EQ(lines.size(), 1u);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[0], match,
                               std::regex(R"(\[handler_pool\] thread#[01] stuck for (\d+)ms tag=\[msg_id=12,id=ab\])")))
      << lines[0];
  EXPECT_GE(std::stoll(match[1]), 5001);

  gate.Open();
  EXPECT_TRUE(pool.WaitIdle(kDeadlineMs));
  EXPECT_TRUE(pool.StuckReport().empty());
}

}  // namespace
