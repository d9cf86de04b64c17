// What one exit report costs: the whole run of the exit monitor with a sibling listening, against a run
// that sends nothing, and one SendPacket to a live receiver, against opening its channel alone.
//
//   cmake --preset linux -DSPINDREL_BUILD_BENCHMARKS=ON && cmake --build --preset linux
//   build/linux/bin/bus_bench [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "spindrel/bus/client.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/bus/sender.h"
#include "platform/child_process.h"
#include "platform/process.h"
#include "spindrel/transport/channel.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Summary {
  double median_us;
  double p90_us;
};

Summary Summarise(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 9 / 10]};
}

template <typename Work>
Summary Time(int runs, Work work) {
  std::vector<double> samples;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    work();
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return Summarise(samples);
}

std::filesystem::path Program(const char* name) {
  return platform::ExecutablePath().parent_path() / (std::string(name) + platform::ExecutablePath().extension().string());
}

void RunMonitor(const std::vector<std::string>& options) {
  auto monitor = platform::ChildProcess::Start(Program("spindrel"), options);
  if (monitor) monitor->Wait(std::chrono::seconds(30));
}

void Print(const char* what, Summary measured, Summary baseline) {
  std::printf("%-44s median %9.1f us  p90 %9.1f us  (x%.2f the baseline's median)\n", what, measured.median_us,
              measured.p90_us, measured.median_us / baseline.median_us);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::stoi(argv[1]) : 40;
  auto sibling = platform::ChildProcess::Start(Program("buspeer"), {"listen", "--as", "TwEmulator", "--global"}, {},
                                               "/dev/null");
  if (!sibling) return 1;
  while (!ipc::IsClientAlive(110002, true)) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  std::printf("%d runs each, medians and 90th percentiles\n", runs);
  const Summary quiet = Time(runs, [] { RunMonitor({}); });
  const Summary notice = Time(runs, [] { RunMonitor({"--spe-src", "1", "--spe-dst", "2", "--spe-dstatus", "3", "--process-type", "6"}); });
  std::printf("%-44s median %9.1f us  p90 %9.1f us\n", "exit monitor, no notice (baseline)", quiet.median_us, quiet.p90_us);
  Print("exit monitor, one notice to a live sibling", notice, quiet);

  ipc::IpcCore::Instance().Init(170001, true);
  const Summary open_only = Time(runs * 10, [] {
    ipc::channel target("TwEmulator", true);
    target.connect(ipc::channel::mode::sender);
  });
  const Summary send = Time(runs * 10, [] { ipc::SendPacket(ipc::CreatePacket(110002, 1, nullptr), true); });
  std::printf("%-44s median %9.1f us  p90 %9.1f us\n", "open + close the target's channel (baseline)", open_only.median_us,
              open_only.p90_us);
  Print("SendPacket to a live receiver", send, open_only);
  ipc::IpcCore::Instance().Uninit(false);
  sibling->Kill();
  return 0;
}
