#include "spindrel/transport/log_sink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr const char* source = "tests/transport/log_sink_test";

struct Line {
  int level = 0;
  std::string file;
  int line = 0;
  std::string text;
};

// Puts back whatever sink the process had, whatever the test did.
class SinkRestorer {
 public:
  SinkRestorer() : previous_(ipc::set_log_sink(nullptr)) {}
  ~SinkRestorer() { ipc::set_log_sink(previous_); }
  SinkRestorer(const SinkRestorer&) = delete;
  SinkRestorer& operator=(const SinkRestorer&) = delete;

 private:
  ipc::log_sink_fn previous_;
};

TEST(LogSink, ReachesAStatefulSinkWithTheCallersOrigin) {
  const SinkRestorer restore;
  std::vector<Line> lines;
  ipc::set_log_sink([&lines](int level, const char* file, int line, const char* text) {
    lines.push_back({level, file, line, text});
  });
  const int here = __LINE__ + 1;
  SPINDREL_LOG(ipc::log_level_recovery, "slot %u of %s\n", 7u, "queue");
  SPINDREL_LOG(ipc::log_level_failure, "plain");

  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, ipc::log_level_recovery);
  EXPECT_EQ(lines[0].file, source);
  EXPECT_EQ(lines[0].line, here);
  EXPECT_EQ(lines[0].text, "slot 7 of queue\n");
  EXPECT_EQ(lines[1].text, "plain");
}

TEST(LogSink, ReturnsThePreviousSinkAndNullRestoresTheSilentDefault) {
  const SinkRestorer restore;
  int first = 0;
  int second = 0;
  ipc::set_log_sink([&first](int, const char*, int, const char*) { ++first; });
  ipc::log_sink_fn previous = ipc::set_log_sink([&second](int, const char*, int, const char*) { ++second; });
  SPINDREL_LOG(ipc::log_level_failure, "to the second");
  ASSERT_TRUE(previous);
  previous(ipc::log_level_failure, source, 0, "straight to the first");
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);

  ipc::set_log_sink(std::move(previous));
  SPINDREL_LOG(ipc::log_level_failure, "to the first again");
  EXPECT_EQ(first, 2);

  ipc::set_log_sink(nullptr);
  SPINDREL_LOG(ipc::log_level_failure, "to nobody");
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 1);
}

// A sink replaced while another thread writes lines lives until the line that holds it is done.
TEST(LogSink, CanBeReplacedWhileOtherThreadsWrite) {
  const SinkRestorer restore;
  std::atomic<int> delivered{0};
  const auto install = [&] {
    auto seen = std::make_shared<int>(0);  // state that dies with the sink it belongs to
    ipc::set_log_sink([seen, &delivered](int, const char*, int, const char*) {
      ++*seen;
      ++delivered;
    });
  };
  install();
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) SPINDREL_LOG(ipc::log_level_recovery, "line %d", i);
    done = true;
  });
  while (!done.load()) install();
  writer.join();
  EXPECT_EQ(delivered.load(), 2000);
}

}  // namespace
