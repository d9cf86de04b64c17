// Reading other processes' /proc files: a read that fails (as it does once that process has ended)
// gives what was read, never an exception out of the process checks above it.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/posix/proc.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace {

TEST(ProcFiles, AReadThatFailsGivesWhatWasReadAndNeverThrows) {
  const test_support::TempDir temp;
  // A folder opens but fails its reads (EISDIR), as the file of an ended process fails them (ESRCH).
  EXPECT_EQ(platform::posix::ReadProcFile(temp.Path().string()), "");
  EXPECT_EQ(platform::posix::ReadProcFile((temp.Path() / "missing").string()), "");

  const std::string long_text(10'000, 'x');  // more than one read's worth
  test_support::WriteFile(temp.Path() / "long", long_text);
  EXPECT_EQ(platform::posix::ReadProcFile((temp.Path() / "long").string()), long_text);
}

TEST(ProcFiles, AThreadIsNamedByItsProcess) {
  EXPECT_EQ(platform::posix::ProcessOfThread(platform::CurrentThreadId()), platform::CurrentProcessId());
  EXPECT_EQ(platform::posix::ProcessOfThread(0x7FFF'FFFF), std::nullopt);  // above any pid_max
}

}  // namespace
