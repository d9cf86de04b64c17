// Running buspeer and the exit monitor as real processes next to a test, and waiting for what they do.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "spindrel/bus/client.h"
#include "support/test_support.h"

namespace test_support {

// Polls until condition() holds or the deadline passes; the result of the last poll.
template <typename Condition>
bool PollUntil(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline bool WaitForClient(std::int32_t id, bool global) {
  return PollUntil([&] { return ipc::IsClientAlive(id, global); });
}

inline std::vector<std::string> FileLines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::string text = ReadFile(path);
  for (std::size_t begin = 0; begin < text.size();) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    begin = end + 1;
  }
  return lines;
}

inline std::optional<platform::ChildProcess> StartProgram(
    const std::string& program, const std::vector<std::string>& arguments, const std::filesystem::path& output = {},
    const std::vector<platform::ChildProcess::EnvironmentVariable>& environment = {}) {
  return platform::ChildProcess::Start(ProgramPath(program), arguments, environment, output);
}

}  // namespace test_support
