// A job on a private bus, for the tests of both systems: the environment that puts a child there, and the
// role that checks that a refused folder fails everything and says why.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/child_process.h"
#include "platform/private_bus.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace test_support {

class PrivateBusJob {
 public:
  // The job's registry store is the bus's own: the runner's SPINDREL_REGISTRY_DIR would override it.
  explicit PrivateBusJob(const std::filesystem::path& folder) : bus_(folder.string()) {}

  // A process on the default bus, with a registry store of the test's own.
  static PrivateBusJob DefaultBus(const std::filesystem::path& registry) {
    PrivateBusJob job("");
    job.registry_ = registry.string();
    return job;
  }

  [[nodiscard]] std::vector<platform::ChildProcess::EnvironmentVariable> Environment() const {
    return {{platform::kPrivateBusVariable, bus_}, {"SPINDREL_REGISTRY_DIR", registry_}};
  }

 private:
  std::string bus_;
  std::string registry_;
};

// Runs the role "private-bus-refused" in the job, through runner (e.g. a program that changes the user)
// when it is given, with its standard output in log. The role opens a channel, a mutex and a registry key,
// and succeeds when all three fail; it writes the log lines that name the variable. Returns the head of
// the first such line ("SPINDREL_BUS_ROOT=<folder> refused"), or what went wrong.
inline std::string RefusedBusReport(const PrivateBusJob& job, const std::filesystem::path& log,
                                    std::vector<std::string> runner = {}) {
  std::filesystem::path program = platform::ExecutablePath();
  if (!runner.empty()) {
    runner.push_back(program.string());
    program = runner.front();
    runner.erase(runner.begin());
  }
  runner.push_back("--child=private-bus-refused");
  auto child = platform::ChildProcess::Start(program, runner, job.Environment(), log);
  if (!child) return "the role did not start";
  const auto code = child->Wait(kChildDeadline);
  if (code != 0) return "the role ended with " + (code ? std::to_string(*code) : std::string("a timeout"));
  const std::string text = ReadFile(log);
  const std::size_t start = text.find(platform::kPrivateBusVariable);
  const std::size_t end = text.find(" refused", start);
  if (start == std::string::npos || end == std::string::npos) return "no line names the variable: " + text;
  return text.substr(start, end + 8 - start);
}

}  // namespace test_support
