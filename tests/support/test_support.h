// Helpers shared by the tests: private folders, programs next to the test binary, and child processes
// that are this same test binary started in a named role.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_process.h"

namespace test_support {

// A fresh folder of the test's own under the system's temporary directory, removed with everything in
// it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  // Environment that points a child's temporary directory here, on either system.
  [[nodiscard]] std::vector<platform::ChildProcess::EnvironmentVariable> TempEnvironment() const;

 private:
  std::filesystem::path path_;
};

// A name for a kernel object of this test process's own, e.g. Unique("flag") = "spd-<pid>-flag", so that
// test runs side by side never meet.
std::string Unique(const std::string& tag);

// A program built into the same folder as the test binary, e.g. ProgramPath("spindrel").
std::filesystem::path ProgramPath(const std::string& name);

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// A child role: a function run in place of the tests when the binary is started with --child=<name>.
// Its result is the child's exit code. Roles get the arguments after the role name.
using ChildRole = std::function<int(const std::vector<std::string>& arguments)>;

// Registers a role at static-initialisation time:
//   const bool registered = test_support::RegisterChildRole("sleep", [](auto&) { ... });
bool RegisterChildRole(const std::string& name, ChildRole role);

// The end of a role that holds something (a lock, a connection, a mapping) until the test kills it.
// The role "sleep" is only that.
int SleepUntilKilled();

// Starts this test binary in a role.
std::optional<platform::ChildProcess> StartChild(
    const std::string& role, const std::vector<std::string>& arguments = {},
    const std::vector<platform::ChildProcess::EnvironmentVariable>& environment = {});

// Generous bound for a child that should finish promptly; a test that hits it fails instead of hanging.
inline constexpr std::chrono::seconds kChildDeadline{60};

}  // namespace test_support
