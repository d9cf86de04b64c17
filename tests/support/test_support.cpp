#include "support/test_support.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "platform/filesystem.h"
#include "platform/process.h"

namespace test_support {
namespace {

std::map<std::string, ChildRole>& Roles() {
  static std::map<std::string, ChildRole> roles;
  return roles;
}

std::string Utf8(const std::filesystem::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

const bool kSleepRole = RegisterChildRole("sleep", [](const std::vector<std::string>&) { return SleepUntilKilled(); });

}  // namespace

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  path_ = platform::TempDirectory() /
          ("spindrel-test-" + std::to_string(platform::CurrentProcessId()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<platform::ChildProcess::EnvironmentVariable> TempDir::TempEnvironment() const {
  const std::string path = Utf8(path_);
  return {{"TMPDIR", path}, {"TMP", path}, {"TEMP", path}};
}

std::string Unique(const std::string& tag) { return "spd-" + std::to_string(platform::CurrentProcessId()) + "-" + tag; }

std::filesystem::path ProgramPath(const std::string& name) {
  return platform::ExecutablePath().parent_path() / (name + SPINDREL_EXECUTABLE_SUFFIX);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

bool RegisterChildRole(const std::string& name, ChildRole role) {
  Roles().emplace(name, std::move(role));
  return true;
}

int SleepUntilKilled() {
  std::this_thread::sleep_for(kChildDeadline);  // the test kills it long before
  return 0;
}

std::optional<platform::ChildProcess> StartChild(
    const std::string& role, const std::vector<std::string>& arguments,
    const std::vector<platform::ChildProcess::EnvironmentVariable>& environment) {
  std::vector<std::string> all{"--child=" + role};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return platform::ChildProcess::Start(platform::ExecutablePath(), all, environment);
}

}  // namespace test_support

int main(int argc, char** argv) {
  constexpr std::string_view kChildFlag = "--child=";
  if (argc >= 2 && std::string_view(argv[1]).starts_with(kChildFlag)) {
    const std::string name(std::string_view(argv[1]).substr(kChildFlag.size()));
    const auto role = test_support::Roles().find(name);
    if (role == test_support::Roles().end()) return 100;
    return role->second(std::vector<std::string>(argv + 2, argv + argc));
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
