#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>

#include "platform/posix/proc.h"
#include "platform/unicode.h"

namespace platform {
namespace {

std::string BaseName(std::string_view path) {
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The executable's file name as Toolhelp would give it. The link /proc/<pid>/exe names the file itself,
// but only the process's owner (or root) may read it; for other processes argv[0] and then the
// 15-character kernel name are the best the system offers.
std::string ExecutableName(std::string_view pid) {
  const std::string base = "/proc/" + std::string(pid);
  std::error_code error;
  const auto target = std::filesystem::read_symlink(base + "/exe", error);
  if (!error) {
    std::string name = target.filename().string();
    constexpr std::string_view kDeletedSuffix = " (deleted)";
    if (name.ends_with(kDeletedSuffix)) name.resize(name.size() - kDeletedSuffix.size());
    return name;
  }
  const std::string cmdline = posix::ReadProcFile(base + "/cmdline");
  if (!cmdline.empty() && cmdline.front() != '\0') return BaseName(cmdline.c_str());
  std::string comm = posix::ReadProcFile(base + "/comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

}  // namespace

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

// The C library asks the kernel for the thread id on every call, and every unlock of a named mutex needs
// it: the id is kept per thread. A fork child's only thread inherits its parent's copy, so the child
// forgets it.
namespace {
thread_local std::uint32_t cached_thread_id = 0;
const int forget_thread_id_at_fork = ::pthread_atfork(nullptr, nullptr, [] { cached_thread_id = 0; });
}  // namespace

std::uint32_t CurrentThreadId() {
  if (cached_thread_id == 0) cached_thread_id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
  return cached_thread_id;
}

// Root is what an elevated token is on Windows: the rights to reach every user's objects.
bool IsProcessElevated() { return ::geteuid() == 0; }

void TerminateCurrentProcess(int exit_code) { ::_exit(exit_code); }

std::filesystem::path ExecutablePath() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error);
}

bool ProcessGone(std::uint32_t pid) {
  if (pid == 0) return false;
  if (::kill(static_cast<pid_t>(pid), 0) == -1) return errno == ESRCH;
  // A killed process stays a zombie until its parent reaps it; it will never run again. The state
  // follows the name in parentheses, which may itself hold spaces and parentheses.
  const std::string stat = posix::ReadProcFile("/proc/" + std::to_string(pid) + "/stat");
  const auto name_end = stat.rfind(')');
  if (name_end == std::string::npos || name_end + 2 >= stat.size()) return false;
  const char state = stat[name_end + 2];
  return state == 'Z' || state == 'X';
}

std::vector<ProcessEntry> SnapshotProcesses() {
  std::vector<ProcessEntry> entries;
  const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return entries;
  while (const dirent* entry = ::readdir(proc.get())) {
    const std::string_view name = entry->d_name;
    std::uint32_t pid = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (error != std::errc() || end != name.data() + name.size()) continue;
    entries.push_back({pid, Utf8ToUtf16(ExecutableName(name))});
  }
  return entries;
}

namespace posix {

// Not a file stream: a stream throws when the read fails, and a read of another process's file fails
// (ESRCH) when that process ends under it.
std::string ReadProcFile(const std::string& path) {
  std::string contents;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return contents;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got > 0) {
      contents.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fd);
  return contents;
}

// A thread's status names its thread group.
std::optional<std::uint32_t> ProcessOfThread(std::uint32_t thread) {
  const std::string status = ReadProcFile("/proc/" + std::to_string(thread) + "/status");
  constexpr std::string_view kGroupField = "\nTgid:";
  const auto field = status.find(kGroupField);
  if (field == std::string::npos) return std::nullopt;
  std::uint32_t process = 0;
  if (std::sscanf(status.c_str() + field + kGroupField.size(), "%u", &process) != 1 || process == 0) return std::nullopt;
  return process;
}

}  // namespace posix
}  // namespace platform
