// Cross-process cost of a channel, next to a Unix domain socket doing the same work in the same run.
// One sender process and one receiver process on one open channel: messages per second and MB/s for
// 64 B, 1 KiB and 64 KiB messages, and the round trip of a 64-byte ping-pong (median and p99); each
// with the two processes pinned to different CPUs and to the same CPU.
//
//   build/linux/bin/channel_bench            # the whole table
//   build/linux/bin/channel_bench --quick    # a tenth of the messages
//
// A Linux-only program (like every benchmark here): it pins processes and opens sockets itself.
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/process.h"
#include "spindrel/transport/channel.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::uint64_t send_timeout_ms = 2000;  // long enough that the receiver is never evicted

bool Pin(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof(set), &set) == 0;
}

std::string Unique(const std::string& tag) {
  return "spd-bench-" + std::to_string(platform::CurrentProcessId()) + "-" + tag;
}

double Seconds(clock_type::duration d) { return std::chrono::duration<double>(d).count(); }

// --- the channel ------------------------------------------------------------------------------------

int ChannelSend(const std::string& name, std::size_t size, std::uint64_t count) {
  ipc::channel out(name, false);
  if (!out.connect(ipc::channel::mode::sender)) return 1;
  std::vector<std::uint8_t> message(size, 0x5A);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::memcpy(message.data(), &i, sizeof(i));
    if (!out.send(message.data(), size, send_timeout_ms)) return 2;
  }
  return 0;
}

int ChannelEcho(const std::string& ping, const std::string& pong, std::uint64_t count) {
  ipc::channel in(ping, false);
  ipc::channel out(pong, false);
  if (!in.connect(ipc::channel::mode::receiver) || !out.connect(ipc::channel::mode::sender)) return 1;
  // Tell the parent we listen: one message on the pong channel.
  while (!out.send("ready", 5, send_timeout_ms)) {
  }
  for (std::uint64_t i = 0; i < count;) {
    const ipc::recv_buffer got = in.recv();
    if (got.empty()) continue;
    if (!out.send(got.data(), got.size(), send_timeout_ms)) return 2;
    ++i;
  }
  return 0;
}

// --- the Unix domain socket (SOCK_SEQPACKET keeps message boundaries, like the channel) --------------

sockaddr_un Address(const std::string& name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Abstract namespace: nothing on disk to clean up.
  std::snprintf(address.sun_path + 1, sizeof(address.sun_path) - 1, "%s", name.c_str());
  return address;
}

int Connect(const std::string& name) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const sockaddr_un address = Address(name);
  for (int attempt = 0; attempt < 5000; ++attempt) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return fd;
    usleep(1000);
  }
  close(fd);
  return -1;
}

int Listen(const std::string& name) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const sockaddr_un address = Address(name);
  const int buffer = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int SocketSend(const std::string& name, std::size_t size, std::uint64_t count) {
  const int fd = Connect(name);
  if (fd < 0) return 1;
  const int buffer = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  std::vector<std::uint8_t> message(size, 0x5A);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::memcpy(message.data(), &i, sizeof(i));
    if (send(fd, message.data(), size, 0) != static_cast<ssize_t>(size)) return 2;
  }
  close(fd);
  return 0;
}

int SocketEcho(const std::string& name, std::uint64_t count) {
  const int fd = Connect(name);
  if (fd < 0) return 1;
  char message[256];
  for (std::uint64_t i = 0; i < count; ++i) {
    const ssize_t got = recv(fd, message, sizeof(message), 0);
    if (got <= 0 || send(fd, message, static_cast<std::size_t>(got), 0) != got) return 2;
  }
  close(fd);
  return 0;
}

// --- the parent side --------------------------------------------------------------------------------

std::optional<platform::ChildProcess> Child(const std::vector<std::string>& arguments) {
  std::vector<std::string> all{"--child"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return platform::ChildProcess::Start(platform::ExecutablePath(), all);
}

struct rate {
  double messages_per_second = 0;
  double megabytes_per_second = 0;
};

rate Rate(std::uint64_t count, std::size_t size, clock_type::duration elapsed) {
  const double s = Seconds(elapsed);
  return {static_cast<double>(count) / s, static_cast<double>(count) * static_cast<double>(size) / s / 1e6};
}

// Time from the first message received to the last; the receiver checks each message's sequence number.
std::optional<rate> ChannelThroughput(std::size_t size, std::uint64_t count, int child_cpu) {
  const std::string name = Unique("tp-" + std::to_string(size));
  ipc::channel in(name, false);
  if (!in.connect(ipc::channel::mode::receiver)) return std::nullopt;
  auto child = Child({"channel-send", name, std::to_string(size), std::to_string(count), std::to_string(child_cpu)});
  if (!child) return std::nullopt;
  clock_type::time_point first;
  for (std::uint64_t i = 0; i < count;) {
    const ipc::recv_buffer got = in.recv();
    if (got.empty()) {
      if (child->Wait(std::chrono::milliseconds(0)).has_value()) return std::nullopt;
      continue;
    }
    std::uint64_t seq = 0;
    std::memcpy(&seq, got.data(), sizeof(seq));
    if (seq != i || got.size() != size) return std::nullopt;
    if (i == 0) first = clock_type::now();
    ++i;
  }
  const auto elapsed = clock_type::now() - first;
  if (child->Wait(std::chrono::seconds(10)) != 0) return std::nullopt;
  return Rate(count - 1, size, elapsed);
}

std::optional<rate> SocketThroughput(std::size_t size, std::uint64_t count, int child_cpu) {
  const std::string name = Unique("uds-tp-" + std::to_string(size));
  const int listener = Listen(name);
  if (listener < 0) return std::nullopt;
  auto child = Child({"socket-send", name, std::to_string(size), std::to_string(count), std::to_string(child_cpu)});
  const int fd = child ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  close(listener);
  if (fd < 0) return std::nullopt;
  std::vector<std::uint8_t> buffer(size + 1);
  clock_type::time_point first;
  for (std::uint64_t i = 0; i < count; ++i) {
    const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
    std::uint64_t seq = 0;
    if (got != static_cast<ssize_t>(size)) break;
    std::memcpy(&seq, buffer.data(), sizeof(seq));
    if (seq != i) break;
    if (i == 0) first = clock_type::now();
  }
  const auto elapsed = clock_type::now() - first;
  close(fd);
  if (child->Wait(std::chrono::seconds(10)) != 0) return std::nullopt;
  return Rate(count - 1, size, elapsed);
}

struct latency {
  double median_us = 0;
  double p99_us = 0;
};

latency Summarise(std::vector<double>& samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

std::optional<latency> ChannelPingPong(std::uint64_t count, int child_cpu) {
  const std::string ping = Unique("ping");
  const std::string pong = Unique("pong");
  ipc::channel in(pong, false);
  if (!in.connect(ipc::channel::mode::receiver)) return std::nullopt;
  auto child = Child({"channel-echo", ping, pong, std::to_string(count), std::to_string(child_cpu)});
  if (!child) return std::nullopt;
  while (in.recv().empty()) {
    if (child->Wait(std::chrono::milliseconds(0)).has_value()) return std::nullopt;
  }
  ipc::channel out(ping, false);
  if (!out.connect(ipc::channel::mode::sender)) return std::nullopt;
  std::uint8_t message[64] = {};
  std::vector<double> samples;
  samples.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::memcpy(message, &i, sizeof(i));
    const auto start = clock_type::now();
    if (!out.send(message, sizeof(message), send_timeout_ms)) return std::nullopt;
    ipc::recv_buffer back;
    while ((back = in.recv()).empty()) {
    }
    samples.push_back(Seconds(clock_type::now() - start) * 1e6);
  }
  if (child->Wait(std::chrono::seconds(10)) != 0) return std::nullopt;
  return Summarise(samples);
}

std::optional<latency> SocketPingPong(std::uint64_t count, int child_cpu) {
  const std::string name = Unique("uds-ping");
  const int listener = Listen(name);
  if (listener < 0) return std::nullopt;
  auto child = Child({"socket-echo", name, std::to_string(count), std::to_string(child_cpu)});
  const int fd = child ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  close(listener);
  if (fd < 0) return std::nullopt;
  std::uint8_t message[64] = {};
  std::vector<double> samples;
  samples.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::memcpy(message, &i, sizeof(i));
    const auto start = clock_type::now();
    if (send(fd, message, sizeof(message), 0) != sizeof(message)) break;
    if (recv(fd, message, sizeof(message), 0) != sizeof(message)) break;
    samples.push_back(Seconds(clock_type::now() - start) * 1e6);
  }
  close(fd);
  if (child->Wait(std::chrono::seconds(10)) != 0 || samples.size() != count) return std::nullopt;
  return Summarise(samples);
}

int RunChild(const std::vector<std::string>& a) {
  const std::string& role = a.at(0);
  if (!Pin(std::stoi(a.back()))) return 90;
  if (role == "channel-send") return ChannelSend(a.at(1), std::stoul(a.at(2)), std::stoull(a.at(3)));
  if (role == "channel-echo") return ChannelEcho(a.at(1), a.at(2), std::stoull(a.at(3)));
  if (role == "socket-send") return SocketSend(a.at(1), std::stoul(a.at(2)), std::stoull(a.at(3)));
  if (role == "socket-echo") return SocketEcho(a.at(1), std::stoull(a.at(2)));
  return 91;
}

std::string Fixed(const std::optional<double>& value, int decimals) {
  if (!value) return "failed";
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, *value);
  return text;
}

std::string Ratio(const std::optional<double>& ours, const std::optional<double>& theirs) {
  if (!ours || !theirs || *theirs == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f×", *ours / *theirs);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (!arguments.empty() && arguments[0] == "--child") return RunChild({arguments.begin() + 1, arguments.end()});
  const std::uint64_t scale = !arguments.empty() && arguments[0] == "--quick" ? 10 : 1;
  if (!Pin(0)) {
    std::fprintf(stderr, "cannot pin to CPU 0\n");
    return 1;
  }

  struct placement {
    const char* label;
    int child_cpu;
  };
  const placement placements[] = {{"different CPUs", 1}, {"same CPU", 0}};
  struct size_case {
    const char* label;
    std::size_t size;
    std::uint64_t count;
  };
  const size_case sizes[] = {{"64 B", 64, 2'000'000}, {"1 KiB", 1024, 1'000'000}, {"64 KiB", 65536, 100'000}};
  const std::uint64_t round_trips = 100'000 / scale;

  std::printf("| placement | work | channel | Unix socket | channel / socket |\n|---|---|---|---|---|\n");
  for (const placement& where : placements) {
    for (const size_case& s : sizes) {
      const auto ours = ChannelThroughput(s.size, s.count / scale, where.child_cpu);
      const auto theirs = SocketThroughput(s.size, s.count / scale, where.child_cpu);
      const auto mps = [](const std::optional<rate>& r) {
        return r ? std::optional<double>(r->messages_per_second / 1e6) : std::nullopt;
      };
      const auto mbs = [](const std::optional<rate>& r) {
        return r ? std::optional<double>(r->megabytes_per_second) : std::nullopt;
      };
      std::printf("| %s | %s messages, M msg/s | %s | %s | %s |\n", where.label, s.label, Fixed(mps(ours), 2).c_str(),
                  Fixed(mps(theirs), 2).c_str(), Ratio(mps(ours), mps(theirs)).c_str());
      std::printf("| %s | %s messages, MB/s | %s | %s | %s |\n", where.label, s.label, Fixed(mbs(ours), 0).c_str(),
                  Fixed(mbs(theirs), 0).c_str(), Ratio(mbs(ours), mbs(theirs)).c_str());
      std::fflush(stdout);
    }
    const auto ours = ChannelPingPong(round_trips, where.child_cpu);
    const auto theirs = SocketPingPong(round_trips, where.child_cpu);
    const auto median = [](const std::optional<latency>& l) {
      return l ? std::optional<double>(l->median_us) : std::nullopt;
    };
    const auto p99 = [](const std::optional<latency>& l) { return l ? std::optional<double>(l->p99_us) : std::nullopt; };
    std::printf("| %s | 64 B round trip, median µs | %s | %s | %s |\n", where.label, Fixed(median(ours), 2).c_str(),
                Fixed(median(theirs), 2).c_str(), Ratio(median(ours), median(theirs)).c_str());
    std::printf("| %s | 64 B round trip, p99 µs | %s | %s | %s |\n", where.label, Fixed(p99(ours), 2).c_str(),
                Fixed(p99(theirs), 2).c_str(), Ratio(p99(ours), p99(theirs)).c_str());
    std::fflush(stdout);
  }
  return 0;
}
