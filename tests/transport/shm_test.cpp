#include "transport/shm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/process.h"
#include "support/log_capture.h"
#include "support/shared_word.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;

using test_support::Unique;
using test_support::Word;

// Waits (with a deadline) until word index of mapping holds value, or the child has ended.
bool AwaitWord(const ipc::shm::handle& mapping, std::size_t index, std::uint32_t value, platform::ChildProcess& child) {
  const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
  while (Word(mapping, index).load() != value) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (child.Wait(1ms).has_value()) return Word(mapping, index).load() == value;
  }
  return true;
}

// Opens the mapping arguments[0] (global flag arguments[1]), checks word 0 is 0x1234 and writes word 1;
// with "hold" it then raises word 2 and waits to be killed.
const bool kShareRole = test_support::RegisterChildRole("shm-share", [](const std::vector<std::string>& arguments) {
  ipc::shm::handle mapping(arguments.at(0), 64, arguments.at(1) == "1");
  if (!mapping.valid()) return 1;
  if (Word(mapping, 0).load() != 0x1234) return 2;
  Word(mapping, 1).store(0x5678);
  if (arguments.size() > 2) {
    Word(mapping, 2).store(1);
    return test_support::SleepUntilKilled();
  }
  return 0;
});

// Creates the mapping arguments[0], writes to it, raises word 0 of the flag mapping arguments[1], and
// either exits ("exit") or waits to be killed.
const bool kFillRole = test_support::RegisterChildRole("shm-fill", [](const std::vector<std::string>& arguments) {
  ipc::shm::handle data(arguments.at(0), 4096);
  ipc::shm::handle flag(arguments.at(1), 4);
  if (!data.valid() || !flag.valid()) return 1;
  std::memset(data.get(), 0xAB, 4096);
  Word(flag, 0).store(1);
  if (arguments.at(2) == "exit") return 0;
  return test_support::SleepUntilKilled();
});

TEST(Shm, TwoProcessesShareAMappingInTheirNamespace) {
  for (const bool global : {true, false}) {
    const std::string name = Unique(global ? "share-g" : "share-l");
    ipc::shm::handle mapping(name, 64, global);
    ASSERT_TRUE(mapping.valid());
    EXPECT_EQ(mapping.size(), 4096u);
    Word(mapping, 0).store(0x1234);
    auto child = test_support::StartChild("shm-share", {name, global ? "1" : "0"});
    ASSERT_TRUE(child);
    ASSERT_EQ(child->Wait(test_support::kChildDeadline), 0);
    EXPECT_EQ(Word(mapping, 1).load(), 0x5678u);

    // The other namespace holds a different, fresh mapping: the child finds no 0x1234 there.
    auto other = test_support::StartChild("shm-share", {name, global ? "0" : "1"});
    ASSERT_TRUE(other);
    EXPECT_EQ(other->Wait(test_support::kChildDeadline), 2);
  }
}

TEST(Shm, AMappingDiesWithItsLastHolderEvenWhenKilled) {
  for (const std::string ending : {"exit", "kill"}) {
    const std::string data_name = Unique("fill-" + ending);
    ipc::shm::handle flag(Unique("fill-flag-" + ending), 4);
    ASSERT_TRUE(flag.valid());
    auto child = test_support::StartChild("shm-fill", {data_name, flag.name(), ending});
    ASSERT_TRUE(child);
    ASSERT_TRUE(AwaitWord(flag, 0, 1, *child)) << ending;
    if (ending == "kill") child->Kill();
    ASSERT_TRUE(child->Wait(test_support::kChildDeadline).has_value());

    ipc::shm::handle data(data_name, 4096);
    ASSERT_TRUE(data.valid());
    const auto* bytes = static_cast<const unsigned char*>(data.get());
    EXPECT_EQ(std::count(bytes, bytes + 4096, 0), 4096) << ending;
  }
}

TEST(Shm, AHandleReportsTheCreatorsSizeAndReleasesOnReacquire) {
  const test_support::LogCapture capture;
  ipc::shm::handle first(Unique("sizes"), 24832);
  ASSERT_TRUE(first.valid());
  EXPECT_EQ(first.size(), 28672u);
  EXPECT_EQ(first.name(), Unique("sizes"));

  ipc::shm::handle second(false);
  ASSERT_TRUE(second.acquire(Unique("sizes"), 4));
  EXPECT_FALSE(second.global());
  ASSERT_TRUE(second.acquire(Unique("sizes"), 4, true));
  EXPECT_EQ(second.size(), 28672u);
  EXPECT_EQ(std::memcmp(first.get(), second.get(), 64), 0);

  second.release();
  EXPECT_FALSE(second.valid());
  EXPECT_EQ(second.size(), 0u);
  EXPECT_TRUE(second.name().empty());
  EXPECT_TRUE(test_support::LogCapture::Take().empty());
}

TEST(Shm, OpeningAnExistingMappingNeverCreatesOne) {
  const std::string name = Unique("existing");
  ipc::shm::handle opener(true);
  EXPECT_FALSE(opener.open_existing(name));
  EXPECT_FALSE(opener.valid());
  EXPECT_TRUE(opener.name().empty());
  {
    // Still nothing there: the failed open made nothing another opener could find.
    const ipc::shm::handle creator(name, 5000, true);
    ASSERT_TRUE(creator.valid());
    static_cast<std::uint32_t*>(creator.get())[0] = 0xC0FFEEu;
    ASSERT_TRUE(opener.open_existing(name));
    EXPECT_EQ(opener.size(), 8192u);  // the creator's size, in whole pages
    EXPECT_EQ(static_cast<const std::uint32_t*>(opener.get())[0], 0xC0FFEEu);
    opener.release();
  }
  EXPECT_FALSE(opener.open_existing(name));  // gone with its last holder
  ipc::shm::handle local(false);
  EXPECT_FALSE(local.open_existing(name));
}

TEST(Shm, BadRequestsFailWithTheirLines) {
  const test_support::LogCapture capture;
  EXPECT_EQ(ipc::shm::acquire("", 4, true), nullptr);
  EXPECT_EQ(ipc::shm::get_mem(nullptr, nullptr), nullptr);
  EXPECT_EQ(ipc::shm::release(nullptr), -1);
  ipc::shm::handle empty("", 4);
  EXPECT_FALSE(empty.valid());

  ipc::shm::id unmapped = ipc::shm::acquire(Unique("unmapped"), 4, false);
  ASSERT_NE(unmapped, nullptr);
  EXPECT_EQ(ipc::shm::release(unmapped), 0);

  const auto lines = test_support::LogCapture::Take();
  ASSERT_EQ(lines.size(), 6u);
  for (const auto& line : lines) EXPECT_EQ(line.level, ipc::log_level_failure);
  EXPECT_EQ(lines[0].text, "fail acquire: name is empty\n");
  EXPECT_EQ(lines[1].text, "fail get_mem: invalid id (null)\n");
  EXPECT_EQ(lines[2].text, "fail release: invalid id (null)\n");
  EXPECT_EQ(lines[3].text, "fail acquire: name is empty\n");
  EXPECT_EQ(lines[4].text, "fail get_mem: invalid id (null)\n");
  EXPECT_TRUE(lines[5].text.starts_with("fail release: invalid id (mem = ")) << lines[5].text;
  EXPECT_TRUE(lines[5].text.ends_with(", size = 4)\n")) << lines[5].text;
}

TEST(LogSink, CutsLongTextAtItsBuffer) {
  const test_support::LogCapture capture;
  const std::string long_text(3000, 'x');
  ipc::log_sink(4, "here", 1, "%s|%d", long_text.c_str(), 5);
  const auto lines = test_support::LogCapture::Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].text, std::string(2047, 'x'));
}

}  // namespace
