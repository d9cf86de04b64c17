// Starting, waiting for and killing another process. Tests use it to run the programs for real.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/native_handle.h"

namespace platform {

class ChildProcess {
 public:
  struct EnvironmentVariable {
    std::string name;
    std::string value;
  };

  // Starts exe with the given arguments (after the program path). The child inherits this process's
  // environment with the given variables added or replaced. With an output path, the child's standard
  // output goes to that file (created or emptied); with an error_output path, its standard error goes
  // to that one. Empty when the process cannot be started.
  static std::optional<ChildProcess> Start(const std::filesystem::path& exe, const std::vector<std::string>& arguments,
                                           const std::vector<EnvironmentVariable>& environment = {},
                                           const std::filesystem::path& output = {},
                                           const std::filesystem::path& error_output = {});

  ChildProcess(ChildProcess&&) noexcept = default;
  ChildProcess& operator=(ChildProcess&&) noexcept = default;
  // A child still running when its owner goes away is killed, so that no test leaves processes behind.
  ~ChildProcess();

  [[nodiscard]] std::uint32_t Pid() const { return pid_; }

  // Waits at most timeout for the process to end. Its exit code (128 + signal number for a process
  // ended by a signal on Linux), or empty while it still runs.
  std::optional<int> Wait(std::chrono::milliseconds timeout);

  // Ends the process at once, as a crash would (SIGKILL, TerminateProcess), and waits for it.
  void Kill();

 private:
  ChildProcess(OwnedHandle process, std::uint32_t pid) : process_(std::move(process)), pid_(pid) {}

  OwnedHandle process_;  // process handle on Windows, pidfd on Linux
  std::uint32_t pid_ = 0;
  std::optional<int> exit_code_;
};

}  // namespace platform
