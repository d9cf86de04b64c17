// The current process and thread, and the list of running processes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace platform {

std::uint32_t CurrentProcessId();
std::uint32_t CurrentThreadId();

// Full path of the running executable.
std::filesystem::path ExecutablePath();

struct ProcessEntry {
  std::uint32_t pid = 0;
  std::u16string exe_name;  // file name of the executable, without directory
};

// A snapshot of every process the system lets us see. Empty when the list cannot be read.
std::vector<ProcessEntry> SnapshotProcesses();

}  // namespace platform
