// What one exit report costs: the whole run of the exit monitor with a sibling listening, against a run
// that sends nothing; one SendPacket to a live receiver, against opening its channel alone; and how many
// SendPackets one thread makes in a second.
//
//   cmake --preset linux && cmake --build --preset linux
//   build/linux/bin/bus_bench [runs]
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench_support.h"
#include "exit_monitor_run.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/bus/sender.h"
#include "spindrel/transport/channel.h"

namespace {

void Print(const char* what, const bench::Summary& measured) {
  std::printf("%-44s median %9.1f us  p90 %9.1f us\n", what, measured.median, measured.p90);
}

void Print(const char* what, const bench::Summary& measured, const bench::Summary& baseline) {
  std::printf("%-44s median %9.1f us  p90 %9.1f us  (x%.2f the baseline's median)\n", what, measured.median,
              measured.p90, measured.median / baseline.median);
}

constexpr char kUsage[] = R"(usage: bus_bench [RUNS]
  RUNS  how often each case runs, at least 1 (default 40)
)";

// The number of runs the command line asks for; 0 when it asks for something else.
int RunsFrom(int argc, char** argv) {
  if (argc == 1) return 40;
  int runs = 0;
  const char* text = argv[1];
  const char* end = text + std::strlen(text);
  const auto [stop, error] = std::from_chars(text, end, runs);
  return argc == 2 && error == std::errc() && stop == end && runs > 0 ? runs : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool help = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
  const int runs = help ? 0 : RunsFrom(argc, argv);
  if (runs == 0) {
    std::fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  auto sibling = bench::StartListeningSibling();
  if (!sibling) {
    std::fprintf(stderr, "the sibling did not join the bus\n");
    return 1;
  }
  std::printf("%d runs each, medians and 90th percentiles\n", runs);
  const auto monitor = bench::MeasureExitMonitor(runs, *sibling);
  if (!monitor) {
    std::fprintf(stderr, "an exit monitor run failed or its notice did not arrive\n");
    return 1;
  }
  Print("exit monitor, no notice (baseline)", monitor->quiet);
  Print("exit monitor, one notice to a live sibling", monitor->notice, monitor->quiet);

  if (!ipc::IpcCore::Instance().Init(170001, true)) {
    std::fprintf(stderr, "the benchmark could not join the bus\n");
    return 1;
  }
  const auto open_only = bench::TimeRuns(runs * 10, [] {
    ipc::channel target("TwEmulator", true);
    target.connect(ipc::channel::mode::sender);
  });
  const auto send = bench::TimeRuns(runs * 10, [] { ipc::SendPacket(ipc::CreatePacket(110002, 1, nullptr), true); });
  Print("open + close the target's channel (baseline)", *open_only);
  Print("SendPacket to a live receiver", *send, *open_only);
  const int burst = runs * 250;
  const auto start = std::chrono::steady_clock::now();
  int accepted = 0;
  for (int i = 0; i < burst; ++i) accepted += ipc::SendPacket(ipc::CreatePacket(110002, 1, nullptr), true) ? 1 : 0;
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%-44s %9.0f per second (%d of %d accepted)\n", "SendPacket from one thread", burst / took.count(),
              accepted, burst);
  ipc::IpcCore::Instance().Uninit(false);
  sibling->process.Kill();
  std::filesystem::remove(sibling->output);
  return 0;
}
