#include "platform/command_line.h"

#include <gtest/gtest.h>

#include "platform/unicode.h"
#include "support/test_support.h"

namespace {

// Writes the arguments the system split for it, one UTF-8 line each, to the file named by the first one.
const bool kEchoRole = test_support::RegisterChildRole("echo-arguments", [](const std::vector<std::string>& arguments) {
  std::string lines;
  for (const auto& argument : platform::CommandLineArguments()) lines += platform::Utf16ToUtf8(argument) + "\n";
  lines += "8-bit:" + platform::CommandLineText() + "\n";
  test_support::WriteFile(arguments.at(0), lines);
  return 0;
});

TEST(CommandLine, QuotingFollowsTheSystemSplittingRules) {
  using platform::QuoteCommandLineArgument;
  using namespace std::string_view_literals;
  EXPECT_EQ(QuoteCommandLineArgument("plain"sv), "plain");
  EXPECT_EQ(QuoteCommandLineArgument(""sv), "\"\"");
  EXPECT_EQ(QuoteCommandLineArgument("a b"sv), "\"a b\"");
  EXPECT_EQ(QuoteCommandLineArgument(R"(q"uote)"sv), R"("q\"uote")");
  EXPECT_EQ(QuoteCommandLineArgument(R"(back\slash\)"sv), R"(back\slash\)");
  EXPECT_EQ(QuoteCommandLineArgument(R"(tail\ x\)"sv), R"("tail\ x\\")");
  EXPECT_EQ(QuoteCommandLineArgument(R"(a\"b)"sv), R"("a\\\"b")");
  EXPECT_EQ(platform::JoinCommandLine(std::vector<std::string>{"p", "a b", ""}), R"(p "a b" "")");
}

TEST(CommandLine, AChildGetsItsArgumentsBackExactly) {
  test_support::TempDir temp;
  const std::string out = (temp.Path() / "args.txt").string();
  const std::vector<std::string> tricky{"a b", R"(q"uote)", "", R"(back\slash\)", R"(tail\\)", "*.txt", "--spe-src=12"};
  std::vector<std::string> arguments{out};
  arguments.insert(arguments.end(), tricky.begin(), tricky.end());
  auto child = test_support::StartChild("echo-arguments", arguments);
  ASSERT_TRUE(child);
  ASSERT_EQ(child->Wait(test_support::kChildDeadline), 0);

  std::istringstream lines(test_support::ReadFile(out));
  std::vector<std::string> seen;
  for (std::string line; std::getline(lines, line);) seen.push_back(line);
  ASSERT_EQ(seen.size(), 1u + 2u + tricky.size() + 1u);
  EXPECT_EQ(seen[1], "--child=echo-arguments");
  EXPECT_EQ(seen[2], out);
  for (std::size_t i = 0; i < tricky.size(); ++i) EXPECT_EQ(seen[3 + i], tricky[i]);
  EXPECT_TRUE(seen.back().ends_with(R"( "a b" "q\"uote" "" back\slash\ tail\\ *.txt --spe-src=12)")) << seen.back();
}

}  // namespace
