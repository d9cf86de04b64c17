#include "common/util/process_name.h"

#include "platform/process.h"

std::u16string GetProcessName(std::int32_t pid) {
  for (auto& entry : platform::SnapshotProcesses()) {
    if (entry.pid == static_cast<std::uint32_t>(pid)) return std::move(entry.exe_name);
  }
  return {};
}
