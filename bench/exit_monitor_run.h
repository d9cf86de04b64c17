// The exit monitor's whole run, as a user sees it: the program started with one exit to report while a
// sibling (buspeer standing in for TwEmulator, global scope) listens, next to a run with no options that
// joins and leaves the bus and writes its log but sends nothing. Needs spindrel and buspeer next to the
// benchmark program.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/child_process.h"
#include "platform/process.h"
#include "spindrel/bus/client.h"

namespace bench {

// A program built next to this one.
inline std::filesystem::path SiblingProgram(const char* name) {
  const std::filesystem::path self = platform::ExecutablePath();
  return self.parent_path() / (std::string(name) + self.extension().string());
}

struct exit_monitor_runs {
  Summary quiet;   // no notice: the baseline
  Summary notice;  // one notice to the live sibling
};

// The listening sibling: it prints every packet it receives as one line of JSON into its output file.
struct listening_sibling {
  platform::ChildProcess process;
  std::filesystem::path output;
};

// Starts the sibling and waits until it is on the bus; empty when it is not within 10 s. The sibling
// lives as long as the returned process.
inline std::optional<listening_sibling> StartListeningSibling() {
  const std::filesystem::path output = std::filesystem::temp_directory_path() /
                                       ("spd-bench-" + std::to_string(platform::CurrentProcessId()) + "-sibling.txt");
  auto sibling = platform::ChildProcess::Start(SiblingProgram("buspeer"), {"listen", "--as", "TwEmulator", "--global"},
                                               {}, output);
  if (!sibling) return std::nullopt;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!ipc::IsClientAlive(110002, true)) {
    if (Clock::now() > deadline || sibling->Wait(std::chrono::milliseconds(0)).has_value()) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return listening_sibling{std::move(*sibling), output};
}

// True when, within 5 s, the sibling has printed a notice from each of the given processes.
inline bool SiblingGotNoticesFrom(const listening_sibling& sibling, const std::vector<std::uint32_t>& senders) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  for (;;) {
    std::vector<std::string> lines;
    std::ifstream in(sibling.output);
    for (std::string line; std::getline(in, line);) {
      if (line.find("\"msg_id\":20017") != std::string::npos) lines.push_back(line);
    }
    const bool all = std::all_of(senders.begin(), senders.end(), [&](std::uint32_t pid) {
      const std::string from = "\"from_process_id\":" + std::to_string(pid) + ",";
      return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(from) != l.npos; });
    });
    if (all) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Times `runs` runs of each kind, in microseconds, while the sibling listens. Empty when a run did not
// exit cleanly or a notice did not reach the sibling, so that a run that skipped its work cannot pass
// for a fast one.
inline std::optional<exit_monitor_runs> MeasureExitMonitor(int runs, const listening_sibling& sibling) {
  bool clean = true;
  std::vector<std::uint32_t> senders;
  const auto run_monitor = [&](const std::vector<std::string>& options) {
    auto monitor = platform::ChildProcess::Start(SiblingProgram("spindrel"), options);
    if (!monitor) {
      clean = false;
      return;
    }
    if (!options.empty()) senders.push_back(monitor->Pid());
    clean = monitor->Wait(std::chrono::seconds(30)) == 0 && clean;
  };
  const auto quiet = TimeRuns(runs, [&] { run_monitor({}); });
  const auto notice = TimeRuns(runs, [&] {
    run_monitor({"--spe-src", "1", "--spe-dst", "2", "--spe-dstatus", "3", "--process-type", "6"});
  });
  if (!quiet || !notice || !clean || !SiblingGotNoticesFrom(sibling, senders)) return std::nullopt;
  return exit_monitor_runs{*quiet, *notice};
}

}  // namespace bench
