// What /proc tells the backend about other processes, beyond the public calls of platform/process.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform::posix {

// The whole of a /proc file, or what could be read of it: a process's files fail their reads once it
// has ended. Empty when the file cannot be opened.
std::string ReadProcFile(const std::string& path);

// The process a thread of any process belongs to (its thread group), or nothing when the thread is gone
// or the system will not say.
std::optional<std::uint32_t> ProcessOfThread(std::uint32_t thread);

}  // namespace platform::posix
