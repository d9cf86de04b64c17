// Runs the exit monitor for real and reads what it appended to its log.
#include <gtest/gtest.h>

#include <regex>

#include "platform/command_line.h"
#include "support/test_support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

using test_support::TempDir;

const std::string kRule(65, '=');
const std::string kTime = R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d\] )";

struct MonitorRun {
  int exit_code = -1;
  std::uint32_t pid = 0;
  std::string command_line;
};

std::optional<platform::ChildProcess> StartMonitor(
    const TempDir& temp, const std::vector<std::string>& options, std::string* command_line,
    const std::vector<platform::ChildProcess::EnvironmentVariable>& more_environment = {}) {
  const auto exe = test_support::ProgramPath("spindrel");
  std::vector<std::string> argv{exe.string()};
  argv.insert(argv.end(), options.begin(), options.end());
  *command_line = platform::JoinCommandLine(argv);
  auto environment = temp.TempEnvironment();
  environment.insert(environment.end(), more_environment.begin(), more_environment.end());
  return platform::ChildProcess::Start(exe, options, environment);
}

MonitorRun RunMonitor(const TempDir& temp, const std::vector<std::string>& options) {
  MonitorRun run;
  auto child = StartMonitor(temp, options, &run.command_line);
  if (!child) return run;
  run.pid = child->Pid();
  run.exit_code = child->Wait(test_support::kChildDeadline).value_or(-1);
  return run;
}

std::filesystem::path LogPath(const TempDir& temp) { return temp.Path() / "Brisden" / "Tarnwick" / "spindrel.log"; }

// The exact block one run appends: banners, the [Cmd] line and the given message lines.
std::string ExpectedBlockPattern(const MonitorRun& run, const std::vector<std::string>& messages) {
  const std::string ids = R"(\[(\d+)\.)" + std::to_string(run.pid) + R"(\])";
  const auto escape = [](const std::string& text) {
    return std::regex_replace(text, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)");
  };
  std::string pattern = "\n\n" + kRule + "\n" + kTime + ids + " log start\n";
  pattern += kTime + ids + R"(\[Initialize\]: \[Cmd\]:)" + escape(run.command_line) + "\n";
  for (const auto& message : messages) pattern += kTime + ids + R"(\[Initialize\]: )" + escape(message) + "\n";
  return pattern + kTime + ids + " log end\n" + kRule + "\n";
}

void ExpectSingleBlock(const TempDir& temp, const MonitorRun& run, const std::vector<std::string>& messages) {
  ASSERT_EQ(run.exit_code, 0);
  const std::string log = test_support::ReadFile(LogPath(temp));
  std::smatch match;
  EXPECT_TRUE(std::regex_match(log, match, std::regex(ExpectedBlockPattern(run, messages)))) << "log was:\n" << log;
}

TEST(Spindrel, LogsTheExampleExit) {
  TempDir temp;
  const MonitorRun run = RunMonitor(
      temp, {"--spe-src", "1234", "--spe-dst", "5678", "--spe-dstatus", "3221225477", "--process-type", "6"});
  ExpectSingleBlock(temp, run, {"[src id]:1234 ", "[dst id]:5678 ", "[dst status]:0xc0000005 "});
}

TEST(Spindrel, LogsAnInvalidProcessTypeFirst) {
  TempDir temp;
  const MonitorRun run = RunMonitor(temp, {"--spe-dstatus=0", "--process-type=9", "--spe-src", "0"});
  ExpectSingleBlock(temp, run, {"[Invalid process type]:9", "[src id]:0 ", "[dst status]:0x0 "});
}

TEST(Spindrel, NoOptionsLogOnlyTheCommandLine) {
  TempDir temp;
  ExpectSingleBlock(temp, RunMonitor(temp, {}), {});
}

TEST(Spindrel, BadAndRepeatedOptions) {
  TempDir temp;
  const MonitorRun run = RunMonitor(temp, {"--spe-src", "1", "--spe-src=2", "--spe-dst", "12x", "--process-type", "abc",
                                           "--unknown", "free text", "--spe-dstatus", "-1"});
  ExpectSingleBlock(temp, run, {"[src id]:2 ", "[dst status]:0xffffffff "});
}

TEST(Spindrel, AppendsToTheLogOfEarlierRuns) {
  TempDir temp;
  const MonitorRun first = RunMonitor(temp, {"--spe-src", "1"});
  ASSERT_EQ(first.exit_code, 0);
  const std::string after_first = test_support::ReadFile(LogPath(temp));
  const MonitorRun second = RunMonitor(temp, {"--spe-src", "2"});
  ASSERT_EQ(second.exit_code, 0);
  const std::string log = test_support::ReadFile(LogPath(temp));
  ASSERT_TRUE(log.starts_with(after_first));
  EXPECT_TRUE(
      std::regex_match(log.substr(after_first.size()), std::regex(ExpectedBlockPattern(second, {"[src id]:2 "}))));
}

TEST(Spindrel, ReplacesAPlainFileWhereTheLogFolderBelongs) {
  TempDir temp;
  std::filesystem::create_directories(temp.Path() / "Brisden");
  test_support::WriteFile(temp.Path() / "Brisden" / "Tarnwick", "not a folder");
  ExpectSingleBlock(temp, RunMonitor(temp, {"--spe-dst", "5"}), {"[dst id]:5 "});
}

TEST(Spindrel, ConcurrentRunsKeepTheirEntriesWhole) {
  TempDir temp;
  constexpr int kRuns = 4;
  std::vector<MonitorRun> runs(kRuns);
  std::vector<platform::ChildProcess> children;
  for (int i = 0; i < kRuns; ++i) {
    auto child = StartMonitor(temp, {"--spe-src", std::to_string(i), "--spe-dst", "7"}, &runs[i].command_line);
    ASSERT_TRUE(child);
    runs[i].pid = child->Pid();
    children.push_back(std::move(*child));
  }
  for (auto& child : children) ASSERT_EQ(child.Wait(test_support::kChildDeadline), 0);

  // Every line is whole and belongs to one run; each run's lines keep their order.
  const std::string log = test_support::ReadFile(LogPath(temp));
  std::map<std::string, std::vector<std::string>> lines_by_pid;
  const std::regex entry(kTime + R"(\[\d+\.(\d+)\](\[Initialize\]: )?(.*))");
  std::istringstream in(log);
  int rules = 0;
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    if (line.empty()) continue;
    if (line == kRule) {
      ++rules;
      continue;
    }
    ASSERT_TRUE(std::regex_match(line, match, entry)) << line;
    lines_by_pid[match[1]].push_back(match[3]);
  }
  EXPECT_EQ(rules, 2 * kRuns);
  for (int i = 0; i < kRuns; ++i) {
    EXPECT_EQ(lines_by_pid[std::to_string(runs[i].pid)],
              (std::vector<std::string>{" log start", "[Cmd]:" + runs[i].command_line,
                                        "[src id]:" + std::to_string(i) + " ", "[dst id]:7 ", " log end"}));
  }
}

#if !defined(_WIN32)
// In a temporary folder that others can write to, the log's place may hold a trap: a link to one of the
// user's files or folders, or a FIFO that would block the run. The run refuses it, logs its block to the
// user's own cache folder instead, and still ends with 0.
class SpindrelLogPlace : public testing::Test {
 protected:
  std::filesystem::path Folder() const { return temp.Path() / "Brisden" / "Tarnwick"; }
  std::filesystem::path FallbackLog() const { return temp.Path() / "cache" / "spindrel" / "spindrel.log"; }

  MonitorRun Run() {
    MonitorRun run;
    auto child = StartMonitor(temp, {"--spe-dst", "5"}, &run.command_line,
                              {{"XDG_CACHE_HOME", (temp.Path() / "cache").string()}});
    if (!child) return run;
    run.pid = child->Pid();
    run.exit_code = child->Wait(test_support::kChildDeadline).value_or(-1);
    return run;
  }

  void ExpectBlockInFallback(const MonitorRun& run) const {
    ASSERT_EQ(run.exit_code, 0);
    const std::string log = test_support::ReadFile(FallbackLog());
    EXPECT_TRUE(std::regex_match(log, std::regex(ExpectedBlockPattern(run, {"[dst id]:5 "})))) << log;
    EXPECT_EQ(std::filesystem::status(FallbackLog().parent_path()).permissions(), std::filesystem::perms::owner_all);
  }

  TempDir temp;
};

TEST_F(SpindrelLogPlace, ALinkInPlaceOfTheFileIsNotFollowed) {
  std::filesystem::create_directories(Folder());
  test_support::WriteFile(temp.Path() / "victim", "untouched");
  std::filesystem::create_symlink(temp.Path() / "victim", Folder() / "spindrel.log");
  ExpectBlockInFallback(Run());
  EXPECT_EQ(test_support::ReadFile(temp.Path() / "victim"), "untouched");
}

TEST_F(SpindrelLogPlace, ALinkInPlaceOfAFolderIsNotFollowed) {
  std::filesystem::create_directories(temp.Path() / "Brisden");
  std::filesystem::create_directories(temp.Path() / "elsewhere");
  std::filesystem::create_directory_symlink(temp.Path() / "elsewhere", Folder());
  ExpectBlockInFallback(Run());
  EXPECT_TRUE(std::filesystem::is_empty(temp.Path() / "elsewhere"));
}

TEST_F(SpindrelLogPlace, AFifoInPlaceOfTheFileDoesNotBlockTheRun) {
  std::filesystem::create_directories(Folder());
  ASSERT_EQ(::mkfifo((Folder() / "spindrel.log").c_str(), 0600), 0);
  ExpectBlockInFallback(Run());
}

TEST_F(SpindrelLogPlace, FoldersAndFileAreTheUsersOwnWhateverTheUmask) {
  const mode_t saved = ::umask(0);
  const MonitorRun run = RunMonitor(temp, {"--spe-dst", "5"});
  ::umask(saved);
  ExpectSingleBlock(temp, run, {"[dst id]:5 "});
  using std::filesystem::perms;
  EXPECT_EQ(std::filesystem::status(temp.Path() / "Brisden").permissions(), perms::owner_all);
  EXPECT_EQ(std::filesystem::status(Folder()).permissions(), perms::owner_all);
  EXPECT_EQ(std::filesystem::status(LogPath(temp)).permissions(), perms::owner_read | perms::owner_write);
}
#endif

}  // namespace
