// Cost of the named objects a channel is made of: creating, opening and closing each kind, opening a
// whole channel's objects while another process holds them (what every bus send does), and locking a
// named mutex with and without contention.
//
//   build/linux/bin/named_objects_bench [--benchmark_repetitions=5 --benchmark_report_aggregates_only=true]
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "platform/child_process.h"
#include "platform/named_sync.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "transport/named_sync.h"
#include "transport/shm.h"
#include "transport/waiter.h"

namespace {

std::string Unique(const std::string& tag) {
  return "spd-bench-" + std::to_string(platform::CurrentProcessId()) + "-" + tag;
}

// The objects of one channel, as the layers above name them.
struct Channel {
  ipc::waiter cc, wt, rd;
  ipc::shm::handle acc, elems;

  bool Open(const std::string& name) {
    return cc.open("__CC_CONN__" + name) && wt.open("__WT_CONN__" + name) && rd.open("__RD_CONN__" + name) &&
           acc.acquire("__AC_CONN__" + name, 4) && elems.acquire("__QU_CONN__64__8__" + name, 24832);
  }
};

void CreateOpenCloseMapping(benchmark::State& state) {
  const std::string name = "Local\\" + Unique("mapping");
  for (auto _ : state) {
    platform::ErrorCode error = 0;
    platform::NamedObject created = platform::CreateSharedMemory(name, 24832, error);
    platform::NamedObject opened = platform::CreateSharedMemory(name, 24832, error);
    void* view = platform::MapSharedMemory(opened, error);
    benchmark::DoNotOptimize(view);
    platform::UnmapSharedMemory(view);
    if (!created || !opened || view == nullptr) state.SkipWithError("mapping failed");
  }
}
BENCHMARK(CreateOpenCloseMapping);

void CreateOpenCloseMutex(benchmark::State& state) {
  const std::string name = "Local\\" + Unique("mutex");
  for (auto _ : state) {
    platform::ErrorCode error = 0;
    platform::NamedObject created = platform::CreateNamedMutex(name, error);
    platform::NamedObject opened = platform::CreateNamedMutex(name, error);
    if (!created || !opened) state.SkipWithError("mutex failed");
  }
}
BENCHMARK(CreateOpenCloseMutex);

void CreateOpenCloseSemaphore(benchmark::State& state) {
  const std::string name = "Local\\" + Unique("semaphore");
  for (auto _ : state) {
    platform::ErrorCode error = 0;
    platform::NamedObject created = platform::CreateNamedSemaphore(name, error);
    platform::NamedObject opened = platform::CreateNamedSemaphore(name, error);
    if (!created || !opened) state.SkipWithError("semaphore failed");
  }
}
BENCHMARK(CreateOpenCloseSemaphore);

// Started with --hold NAME: keeps the channel NAME open until killed, after raising a flag.
int HoldChannel(const std::string& name) {
  Channel channel;
  ipc::shm::handle flag(name + "-ready", 4);
  if (!channel.Open(name) || !flag.valid()) return 1;
  std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(flag.get())).store(1);
  std::this_thread::sleep_for(std::chrono::minutes(10));
  return 0;
}

void OpenChannelHeldElsewhere(benchmark::State& state) {
  const std::string name = Unique("channel");
  ipc::shm::handle flag(name + "-ready", 4);
  auto holder = platform::ChildProcess::Start(platform::ExecutablePath(), {"--hold", name});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (holder && std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(flag.get())).load() == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!holder || std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(flag.get())).load() == 0) {
    state.SkipWithError("holder process did not start");
    return;
  }
  for (auto _ : state) {
    Channel channel;
    if (!channel.Open(name)) state.SkipWithError("channel open failed");
  }
  holder->Kill();
  Channel sweep;  // the killed holder's objects are dead: this open removes them
  sweep.Open(name);
}
BENCHMARK(OpenChannelHeldElsewhere)->Unit(benchmark::kMicrosecond);

void OpenChannelAlone(benchmark::State& state) {
  const std::string name = Unique("alone");
  for (auto _ : state) {
    Channel channel;
    if (!channel.Open(name)) state.SkipWithError("channel open failed");
  }
}
BENCHMARK(OpenChannelAlone)->Unit(benchmark::kMicrosecond);

ipc::named_mutex& SharedMutex() {
  static ipc::named_mutex mutex;
  static const bool opened [[maybe_unused]] = mutex.open("Local\\" + Unique("lock"));
  return mutex;
}

void MutexLockUnlock(benchmark::State& state) {
  ipc::named_mutex& mutex = SharedMutex();
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
  }
}
BENCHMARK(MutexLockUnlock);
BENCHMARK(MutexLockUnlock)->Threads(2)->Name("MutexLockUnlockContended");

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--hold") return HoldChannel(argv[2]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
