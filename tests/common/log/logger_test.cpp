#include "common/log/logger.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/test_support.h"

namespace {

constexpr SourceLocation kHere{1, 0, "logger_test", "Caller"};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class LoggerTest : public testing::Test {
 protected:
  std::filesystem::path Dir() const { return temp.Path() / "logs"; }
  std::string Contents() const { return test_support::ReadFile(Dir() / "unit.log"); }

  test_support::TempDir temp;
  Logger logger;
};

TEST_F(LoggerTest, FewLinesReachTheFileOnlyAtEnd) {
  logger.InitIn(Dir(), "unit", std::ios::app);
  for (int i = 0; i < 5; ++i) logger.Log("line {}", kHere, 42, i);
  EXPECT_EQ(Contents(), "");  // 6 entries pending, below the batch size

  logger.End();
  const auto lines = Lines(Contents());
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], std::string(65, '='));
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[\d+\.\d+\] log start)")));
  EXPECT_TRUE(
      std::regex_match(lines[4], std::regex(R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[42\.\d+\]\[Caller\]: line 0)")));
  EXPECT_TRUE(lines[9].ends_with(" log end"));
  EXPECT_EQ(lines[10], std::string(65, '='));
}

TEST_F(LoggerTest, BatchesKeepTheOrderOfTheCalls) {
  logger.InitIn(Dir(), "unit", std::ios::app);
  for (int i = 0; i < 25; ++i) logger.Log("line {}", kHere, 1, i);
  logger.End();
  const auto lines = Lines(Contents());
  ASSERT_EQ(lines.size(), 4u + 25u + 2u);
  for (int i = 0; i < 25; ++i) EXPECT_TRUE(lines[4 + i].ends_with("]: line " + std::to_string(i))) << lines[4 + i];
}

TEST_F(LoggerTest, ArgumentsAreWrittenUnchanged) {
  logger.InitIn(Dir(), "unit", std::ios::app);
  logger.Log("[Cmd]:{}", kHere, 1, std::string("a {} b {0}"));
  logger.Log("[dst status]:{:#x} ", kHere, 1, 3221225477u);
  logger.End();
  const auto lines = Lines(Contents());
  EXPECT_TRUE(lines[4].ends_with("][Caller]: [Cmd]:a {} b {0}"));
  EXPECT_TRUE(lines[5].ends_with("][Caller]: [dst status]:0xc0000005 "));
}

TEST_F(LoggerTest, NothingIsQueuedBeforeInitOrAfterEnd) {
  logger.Log("early", kHere, 1);
  logger.InitIn(Dir(), "unit", std::ios::app);
  logger.End();
  logger.Log("late", kHere, 1);
  logger.WriteRaw("late raw");
  logger.End();
  EXPECT_EQ(Lines(Contents()).size(), 6u);  // the two banners only
}

TEST_F(LoggerTest, AppendsOrTruncatesAsAsked) {
  std::filesystem::create_directories(Dir());
  test_support::WriteFile(Dir() / "unit.log", "old\n");
  {
    Logger appending;
    appending.InitIn(Dir(), "unit", std::ios::app);
  }
  EXPECT_TRUE(Contents().starts_with("old\n\n\n="));
  logger.InitIn(Dir(), "unit", std::ios::out);
  logger.End();
  EXPECT_TRUE(Contents().starts_with("\n\n="));
}

TEST_F(LoggerTest, AnUnopenableFileLosesLinesQuietly) {
  std::filesystem::create_directories(Dir() / "unit.log");  // a folder where the file should be
  logger.InitIn(Dir(), "unit", std::ios::app);
  logger.Log("lost", kHere, 1);
  logger.End();
  EXPECT_TRUE(std::filesystem::is_directory(Dir() / "unit.log"));
}

}  // namespace
