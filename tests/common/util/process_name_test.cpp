#include "common/util/process_name.h"

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/unicode.h"
#include "support/test_support.h"

namespace {

TEST(ProcessName, NamesTheExecutableOfARunningProcess) {
  const std::u16string own_name = platform::Utf8ToUtf16(platform::ExecutablePath().filename().string());
  EXPECT_EQ(GetProcessName(static_cast<std::int32_t>(platform::CurrentProcessId())), own_name);

  auto child = test_support::StartChild("sleep");
  ASSERT_TRUE(child);
  const auto pid = static_cast<std::int32_t>(child->Pid());
  EXPECT_EQ(GetProcessName(pid), own_name);
  child->Kill();
  EXPECT_EQ(GetProcessName(pid), u"");  // gone, as a process that just exited is
}

TEST(ProcessName, UnknownIdIsEmpty) { EXPECT_EQ(GetProcessName(-1), u""); }

}  // namespace
