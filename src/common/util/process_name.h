// Which executable a process runs.
#pragma once

#include <cstdint>
#include <string>

// The file name (without directory) of the executable that process pid runs, from one snapshot of the
// system's process list; empty when no such process is listed or the list cannot be read.
std::u16string GetProcessName(std::int32_t pid);
