// The current process and thread, and the list of running processes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace platform {

std::uint32_t CurrentProcessId();
std::uint32_t CurrentThreadId();

// Whether this process runs with full rights: an elevated token on Windows (TokenElevation), the
// effective user root on Linux. False when the system cannot tell.
bool IsProcessElevated();

// Whether the system says that no process pid is running any more: it has exited (on Linux also a
// zombie nobody has reaped yet) or never existed. False when the process runs, stands stopped, or the
// system cannot tell (it belongs to another user we may not look at, say).
bool ProcessGone(std::uint32_t pid);

// Ends this process at once with the given exit code: no destructors, no exit handlers, no flushing, as
// if the system had killed it.
[[noreturn]] void TerminateCurrentProcess(int exit_code);

// Full path of the running executable.
std::filesystem::path ExecutablePath();

struct ProcessEntry {
  std::uint32_t pid = 0;
  std::u16string exe_name;  // file name of the executable, without directory
};

// A snapshot of every process the system lets us see. Empty when the list cannot be read.
std::vector<ProcessEntry> SnapshotProcesses();

}  // namespace platform
