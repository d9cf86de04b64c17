#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/checked_call.h"

extern char** environ;

namespace platform {
namespace {

std::vector<std::string> MergedEnvironment(const std::vector<ChildProcess::EnvironmentVariable>& overrides) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    const std::string_view name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& variable : overrides) replaced = replaced || variable.name == name;
    if (!replaced) merged.emplace_back(text);
  }
  for (const auto& variable : overrides) merged.push_back(variable.name + "=" + variable.value);
  return merged;
}

// Called through syscall(): the C library's declarations of these lack C linkage on this glibc.
int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
void PidfdKill(int pidfd) { ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0); }

std::vector<char*> PointerArray(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::optional<ChildProcess> ChildProcess::Start(const std::filesystem::path& exe,
                                                const std::vector<std::string>& arguments,
                                                const std::vector<EnvironmentVariable>& environment,
                                                const std::filesystem::path& output,
                                                const std::filesystem::path& error_output) {
  std::vector<std::string> argv_strings{exe.string()};
  argv_strings.insert(argv_strings.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env_strings = MergedEnvironment(environment);
  std::vector<char*> argv = PointerArray(argv_strings);
  std::vector<char*> envp = PointerArray(env_strings);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (!output.empty()) {
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (!error_output.empty()) {
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
  }
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::nullopt;
  // A pidfd turns "wait with a deadline" into a poll, and cannot name a recycled pid.
  OwnedHandle pidfd(PidfdOpen(pid));
  if (!pidfd) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return std::nullopt;
  }
  return ChildProcess(std::move(pidfd), static_cast<std::uint32_t>(pid));
}

ChildProcess::~ChildProcess() {
  if (process_ && !exit_code_) Kill();
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (exit_code_ || !process_) return exit_code_;
  pollfd ready{process_.Get(), POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int result = ::poll(&ready, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (result > 0) break;
    if (result == 0) return std::nullopt;
    if (errno != EINTR) return std::nullopt;
  }
  int status = 0;
  if (posix::CallError([&] { return ::waitpid(static_cast<pid_t>(pid_), &status, 0); }) != 0) return std::nullopt;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return exit_code_;
}

void ChildProcess::Kill() {
  if (exit_code_ || !process_) return;
  PidfdKill(process_.Get());
  Wait(std::chrono::hours(1));
}

}  // namespace platform
