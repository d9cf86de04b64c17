// The channel next to what a program on Linux would use instead, side by side in one run: a Unix domain
// socket (SOCK_SEQPACKET, which keeps message boundaries like the channel), a POSIX message queue and
// Boost.Interprocess's message_queue. Sender and receiver are separate processes (this program started
// again in a child role). Measured: one-way throughput of 64 B, 1 KiB and 64 KiB messages (messages/s and
// MB/s, counted by the receiver from the first message to the last), the round trip of a 64-byte
// ping-pong (median and p99), each with the two processes pinned to different CPUs and to the same CPU;
// with --load, every cell once more while a busy loop pinned to each CPU competes for it; and the exit
// monitor's whole run. Every figure is the median over --runs runs; the output is one
// Markdown table whose cells give each alternative's ratio to the channel.
//
//   build/linux/bin/channel_bench [--runs N] [--quick] [--placement apart|together|both] [--load]
//                                 [--monitor-runs N] [--round-trips-only N]
//
// Every receiver checks what it gets (see bench::stream_check) and a run that loses, reorders or damages
// a message prints "failed" instead of a figure. A Linux-only program: it calls the alternatives' system
// interfaces itself, which is why it is not built on the platform layer.
#include <mqueue.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/ipc/message_queue.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "exit_monitor_run.h"
#include "platform/child_process.h"
#include "platform/process.h"
#include "spindrel/transport/channel.h"

namespace {

using bench::Clock;
namespace bip = boost::interprocess;

constexpr std::uint64_t send_timeout_ms = 2000;               // long enough that the receiver is never evicted
constexpr std::chrono::milliseconds child_exit_wait{10'000};  // after the last message
constexpr std::size_t round_trip_size = 64;

bool Pin(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof(set), &set) == 0;
}

std::string Unique(const std::string& tag) {
  return "spd-bench-" + std::to_string(platform::CurrentProcessId()) + "-" + tag;
}

// Lines printed under the table: how each alternative was set up, and why a cell failed.
std::vector<std::string> notes;

void Note(const std::string& line) {
  for (const std::string& known : notes) {
    if (known == line) return;
  }
  notes.push_back(line);
}

// --- child side, shared -----------------------------------------------------------------------------

// Sends count checkable messages; send(data, size) is false on failure.
template <typename Send>
int SendStream(std::size_t size, std::uint64_t count, Send send) {
  std::vector<std::uint8_t> message = bench::PatternMessage(size);
  for (std::uint64_t i = 0; i < count; ++i) {
    bench::Stamp(message.data(), size, i);
    if (!send(message.data(), size)) return 2;
  }
  return 0;
}

// --- parent side, shared ----------------------------------------------------------------------------

struct rate {
  double messages_per_second = 0;
  double megabytes_per_second = 0;
};

// receive(check) takes one message into check: 1 taken, 0 nothing arrived in a while, -1 failed (or check
// refused the message). Times the stream from the first message received to the last.
template <typename Receive>
std::optional<rate> ReceiveStream(platform::ChildProcess& child, std::size_t size, std::uint64_t count,
                                  Receive receive) {
  bench::stream_check check(size, count);
  Clock::time_point first;
  while (check.received() < count) {
    const int got = receive(check);
    if (got < 0) return std::nullopt;
    if (got == 0) {
      if (child.Wait(std::chrono::milliseconds(0)).has_value()) return std::nullopt;
      continue;
    }
    if (check.received() == 1) first = Clock::now();
  }
  const double seconds = bench::Seconds(Clock::now() - first);
  if (child.Wait(child_exit_wait) != 0 || !check.Complete() || count < 2) return std::nullopt;
  const double timed = static_cast<double>(count - 1);
  return rate{timed / seconds, timed * static_cast<double>(size) / seconds / 1e6};
}

// round_trip(message) sends the message and waits for the echo, true when the echo equals the message.
template <typename RoundTrip>
std::optional<bench::Summary> PingPong(platform::ChildProcess& child, std::uint64_t count, RoundTrip round_trip) {
  std::vector<std::uint8_t> message = bench::PatternMessage(round_trip_size);
  std::vector<double> samples;
  samples.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    bench::Stamp(message.data(), message.size(), i);
    const auto start = Clock::now();
    if (!round_trip(message)) return std::nullopt;
    samples.push_back(bench::Seconds(Clock::now() - start) * 1e6);
  }
  if (child.Wait(child_exit_wait) != 0) return std::nullopt;
  return bench::Summarise(std::move(samples));
}

std::optional<platform::ChildProcess> Child(const std::vector<std::string>& arguments, int cpu) {
  std::vector<std::string> all{"--child"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  all.push_back(std::to_string(cpu));
  return platform::ChildProcess::Start(platform::ExecutablePath(), all);
}

// --- the channel ------------------------------------------------------------------------------------

int ChannelSend(const std::string& name, std::size_t size, std::uint64_t count) {
  ipc::channel out(name, false);
  if (!out.connect(ipc::channel::mode::sender)) return 1;
  return SendStream(size, count, [&](const void* data, std::size_t n) { return out.send(data, n, send_timeout_ms); });
}

int ChannelEcho(const std::string& ping, const std::string& pong, std::uint64_t count) {
  ipc::channel in(ping, false);
  ipc::channel out(pong, false);
  if (!in.connect(ipc::channel::mode::receiver) || !out.connect(ipc::channel::mode::sender)) return 1;
  // Tell the parent we listen: one message on the pong channel.
  if (!out.send("ready", 5, send_timeout_ms)) return 1;
  for (std::uint64_t i = 0; i < count;) {
    const ipc::recv_buffer got = in.recv();
    if (got.empty()) continue;
    if (!out.send(got.data(), got.size(), send_timeout_ms)) return 2;
    ++i;
  }
  return 0;
}

std::optional<rate> ChannelThroughput(std::size_t size, std::uint64_t count, int cpu) {
  const std::string name = Unique("tp-" + std::to_string(size));
  ipc::channel in(name, false);
  if (!in.connect(ipc::channel::mode::receiver)) return std::nullopt;
  auto child = Child({"channel-send", name, std::to_string(size), std::to_string(count)}, cpu);
  if (!child) return std::nullopt;
  return ReceiveStream(*child, size, count, [&](bench::stream_check& check) {
    const ipc::recv_buffer got = in.recv();
    if (got.empty()) return 0;
    return check.Take(got.data(), got.size()) ? 1 : -1;
  });
}

std::optional<bench::Summary> ChannelRoundTrip(std::uint64_t count, int cpu) {
  const std::string ping = Unique("ping");
  const std::string pong = Unique("pong");
  ipc::channel in(pong, false);
  if (!in.connect(ipc::channel::mode::receiver)) return std::nullopt;
  auto child = Child({"channel-echo", ping, pong, std::to_string(count)}, cpu);
  if (!child) return std::nullopt;
  while (in.recv().empty()) {
    if (child->Wait(std::chrono::milliseconds(0)).has_value()) return std::nullopt;
  }
  ipc::channel out(ping, false);
  if (!out.connect(ipc::channel::mode::sender)) return std::nullopt;
  return PingPong(*child, count, [&](const std::vector<std::uint8_t>& message) {
    if (!out.send(message.data(), message.size(), send_timeout_ms)) return false;
    ipc::recv_buffer back;
    while ((back = in.recv()).empty()) {
      if (child->Wait(std::chrono::milliseconds(0)).has_value()) return false;
    }
    return back.size() == message.size() && std::memcmp(back.data(), message.data(), message.size()) == 0;
  });
}

// --- the Unix domain socket -------------------------------------------------------------------------

struct unique_fd {
  int fd = -1;
  explicit unique_fd(int f) : fd(f) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() {
    if (fd >= 0) close(fd);
  }
};

constexpr int socket_buffer = 4 << 20;

sockaddr_un Address(const std::string& name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Abstract namespace: nothing on disk to clean up.
  std::snprintf(address.sun_path + 1, sizeof(address.sun_path) - 1, "%s", name.c_str());
  return address;
}

unique_fd Connect(const std::string& name) {
  unique_fd s(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  setsockopt(s.fd, SOL_SOCKET, SO_SNDBUF, &socket_buffer, sizeof(socket_buffer));
  const sockaddr_un address = Address(name);
  // The parent listens before it starts us, so one attempt is enough.
  if (connect(s.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return unique_fd(-1);
  return unique_fd(std::exchange(s.fd, -1));
}

unique_fd Listen(const std::string& name) {
  unique_fd s(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &socket_buffer, sizeof(socket_buffer));
  const sockaddr_un address = Address(name);
  if (bind(s.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || listen(s.fd, 1) != 0) {
    return unique_fd(-1);
  }
  return unique_fd(std::exchange(s.fd, -1));
}

int SocketSend(const std::string& name, std::size_t size, std::uint64_t count) {
  const unique_fd s = Connect(name);
  if (s.fd < 0) return 1;
  return SendStream(size, count,
                    [&](const void* data, std::size_t n) { return send(s.fd, data, n, 0) == static_cast<ssize_t>(n); });
}

int SocketEcho(const std::string& name, std::uint64_t count) {
  const unique_fd s = Connect(name);
  if (s.fd < 0) return 1;
  std::uint8_t message[256];
  for (std::uint64_t i = 0; i < count; ++i) {
    const ssize_t got = recv(s.fd, message, sizeof(message), 0);
    if (got <= 0 || send(s.fd, message, static_cast<std::size_t>(got), 0) != got) return 2;
  }
  return 0;
}

// The accepted connection of a child started to connect to a fresh listener.
std::optional<platform::ChildProcess> SocketChild(const std::string& name, const std::vector<std::string>& arguments,
                                                  int cpu, unique_fd& connection) {
  const unique_fd listener = Listen(name);
  if (listener.fd < 0) return std::nullopt;
  auto child = Child(arguments, cpu);
  if (child) connection.fd = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection.fd < 0) return std::nullopt;
  return child;
}

std::optional<rate> SocketThroughput(std::size_t size, std::uint64_t count, int cpu) {
  const std::string name = Unique("uds-tp-" + std::to_string(size));
  unique_fd s(-1);
  auto child = SocketChild(name, {"socket-send", name, std::to_string(size), std::to_string(count)}, cpu, s);
  if (!child) return std::nullopt;
  std::vector<std::uint8_t> buffer(size + 1);  // one byte more, so a longer message shows as one
  return ReceiveStream(*child, size, count, [&](bench::stream_check& check) {
    const ssize_t got = recv(s.fd, buffer.data(), buffer.size(), 0);
    if (got <= 0) return -1;
    return check.Take(buffer.data(), static_cast<std::size_t>(got)) ? 1 : -1;
  });
}

std::optional<bench::Summary> SocketRoundTrip(std::uint64_t count, int cpu) {
  const std::string name = Unique("uds-ping");
  unique_fd s(-1);
  auto child = SocketChild(name, {"socket-echo", name, std::to_string(count)}, cpu, s);
  if (!child) return std::nullopt;
  std::uint8_t back[round_trip_size + 1];
  return PingPong(*child, count, [&](const std::vector<std::uint8_t>& message) {
    if (send(s.fd, message.data(), message.size(), 0) != static_cast<ssize_t>(message.size())) return false;
    const ssize_t got = recv(s.fd, back, sizeof(back), 0);
    return got == static_cast<ssize_t>(message.size()) && std::memcmp(back, message.data(), message.size()) == 0;
  });
}

// --- the POSIX message queue ------------------------------------------------------------------------
//
// Linux caps a queue's message size (fs.mqueue.msgsize_max, 8192 by default), its depth (fs.mqueue.msg_max,
// 10) and the bytes of all of a user's queues (RLIMIT_MSGQUEUE, 800 KiB). main raises the first two for
// the run when it may write them (as root), and the third when it may. Queues as deep as the channel's
// (256 small messages, 32 large ones) are asked for first, then the default depth, which the byte cap
// leaves room for even with 64 KiB messages.

struct message_queue_handle {
  mqd_t queue = -1;
  std::string unlink_name;  // set in the process that created the queue
  message_queue_handle() = default;
  message_queue_handle(const message_queue_handle&) = delete;
  message_queue_handle& operator=(const message_queue_handle&) = delete;
  ~message_queue_handle() {
    if (queue != -1) mq_close(queue);
    if (!unlink_name.empty()) mq_unlink(unlink_name.c_str());
  }
};

std::string ReadLimit(const char* path) {
  std::ifstream file(path);
  std::string value;
  file >> value;
  return value.empty() ? "?" : value;
}

long Depth(std::size_t size) { return size > 4096 ? 32 : 256; }

bool CreateQueue(message_queue_handle& handle, const std::string& name, std::size_t size) {
  const std::string path = "/" + name;
  int error = 0;
  for (const long depth : {Depth(size), 10L}) {
    mq_attr attributes{};
    attributes.mq_maxmsg = depth;
    attributes.mq_msgsize = static_cast<long>(size);
    handle.queue = mq_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600, &attributes);
    if (handle.queue != -1) {
      handle.unlink_name = path;
      Note("POSIX mq: " + std::to_string(size) + "-byte messages in a queue " + std::to_string(depth) + " deep");
      return true;
    }
    error = errno;
  }
  Note("POSIX mq: no queue for " + std::to_string(size) + "-byte messages (" + std::strerror(error) +
       "; fs.mqueue.msgsize_max " + ReadLimit("/proc/sys/fs/mqueue/msgsize_max") + ", msg_max " +
       ReadLimit("/proc/sys/fs/mqueue/msg_max") + "): run as root");
  return false;
}

bool OpenQueue(message_queue_handle& handle, const std::string& name, int flags) {
  handle.queue = mq_open(("/" + name).c_str(), flags | O_CLOEXEC);
  return handle.queue != -1;
}

// 1 a message of *got bytes arrived, 0 none within a second, -1 failed.
int ReceiveQueue(mqd_t queue, std::vector<std::uint8_t>& buffer, ssize_t* got) {
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 1;
  *got = mq_timedreceive(queue, reinterpret_cast<char*>(buffer.data()), buffer.size(), nullptr, &deadline);
  if (*got >= 0) return 1;
  return errno == ETIMEDOUT || errno == EINTR ? 0 : -1;
}

int QueueSend(const std::string& name, std::size_t size, std::uint64_t count) {
  message_queue_handle out;
  if (!OpenQueue(out, name, O_WRONLY)) return 1;
  return SendStream(size, count, [&](const void* data, std::size_t n) {
    return mq_send(out.queue, static_cast<const char*>(data), n, 0) == 0;
  });
}

int QueueEcho(const std::string& ping, const std::string& pong, std::uint64_t count) {
  message_queue_handle in;
  message_queue_handle out;
  if (!OpenQueue(in, ping, O_RDONLY) || !OpenQueue(out, pong, O_WRONLY)) return 1;
  std::vector<std::uint8_t> message(round_trip_size);
  for (std::uint64_t i = 0; i < count; ++i) {
    const ssize_t got = mq_receive(in.queue, reinterpret_cast<char*>(message.data()), message.size(), nullptr);
    if (got < 0 || mq_send(out.queue, reinterpret_cast<const char*>(message.data()), got, 0) != 0) return 2;
  }
  return 0;
}

std::optional<rate> QueueThroughput(std::size_t size, std::uint64_t count, int cpu) {
  const std::string name = Unique("mq-tp-" + std::to_string(size));
  message_queue_handle in;
  if (!CreateQueue(in, name, size)) return std::nullopt;
  auto child = Child({"mq-send", name, std::to_string(size), std::to_string(count)}, cpu);
  if (!child) return std::nullopt;
  std::vector<std::uint8_t> buffer(size);
  return ReceiveStream(*child, size, count, [&](bench::stream_check& check) {
    ssize_t got = 0;
    const int result = ReceiveQueue(in.queue, buffer, &got);
    if (result <= 0) return result;
    return check.Take(buffer.data(), static_cast<std::size_t>(got)) ? 1 : -1;
  });
}

std::optional<bench::Summary> QueueRoundTrip(std::uint64_t count, int cpu) {
  const std::string ping = Unique("mq-ping");
  const std::string pong = Unique("mq-pong");
  message_queue_handle out;
  message_queue_handle in;
  if (!CreateQueue(out, ping, round_trip_size) || !CreateQueue(in, pong, round_trip_size)) return std::nullopt;
  auto child = Child({"mq-echo", ping, pong, std::to_string(count)}, cpu);
  if (!child) return std::nullopt;
  std::vector<std::uint8_t> back(round_trip_size);
  return PingPong(*child, count, [&](const std::vector<std::uint8_t>& message) {
    if (mq_send(out.queue, reinterpret_cast<const char*>(message.data()), message.size(), 0) != 0) return false;
    ssize_t got = 0;
    int result = 0;
    while ((result = ReceiveQueue(in.queue, back, &got)) == 0) {
      if (child->Wait(std::chrono::milliseconds(0)).has_value()) return false;
    }
    return result > 0 && got == static_cast<ssize_t>(message.size()) &&
           std::memcmp(back.data(), message.data(), message.size()) == 0;
  });
}

// --- Boost.Interprocess message_queue ---------------------------------------------------------------
//
// Its constructors throw; every call is wrapped so that a failure becomes a failed figure. Same depths
// as the POSIX queue's first choice (its memory is an ordinary shared mapping, with no per-user cap).

struct boost_queue {
  std::unique_ptr<bip::message_queue> queue;
  std::string remove_name;  // set in the process that created the queue
  boost_queue() = default;
  boost_queue(const boost_queue&) = delete;
  boost_queue& operator=(const boost_queue&) = delete;
  ~boost_queue() {
    queue.reset();
    if (!remove_name.empty()) bip::message_queue::remove(remove_name.c_str());
  }
};

bool CreateBoostQueue(boost_queue& handle, const std::string& name, std::size_t size) {
  try {
    handle.queue = std::make_unique<bip::message_queue>(bip::create_only, name.c_str(), Depth(size), size);
    handle.remove_name = name;
    Note("Boost message_queue: " + std::to_string(size) + "-byte messages in a queue " + std::to_string(Depth(size)) +
         " deep");
    return true;
  } catch (const bip::interprocess_exception& e) {
    Note(std::string("Boost message_queue: ") + e.what());
    return false;
  }
}

bool OpenBoostQueue(boost_queue& handle, const std::string& name) {
  try {
    handle.queue = std::make_unique<bip::message_queue>(bip::open_only, name.c_str());
    return true;
  } catch (const bip::interprocess_exception&) {
    return false;
  }
}

// As ReceiveQueue.
int ReceiveBoost(bip::message_queue& queue, std::vector<std::uint8_t>& buffer, std::size_t* got) {
  try {
    unsigned int priority = 0;
    const auto deadline = boost::posix_time::microsec_clock::universal_time() + boost::posix_time::seconds(1);
    return queue.timed_receive(buffer.data(), buffer.size(), *got, priority, deadline) ? 1 : 0;
  } catch (const bip::interprocess_exception&) {
    return -1;
  }
}

int BoostSend(const std::string& name, std::size_t size, std::uint64_t count) {
  boost_queue out;
  if (!OpenBoostQueue(out, name)) return 1;
  return SendStream(size, count, [&](const void* data, std::size_t n) {
    try {
      out.queue->send(data, n, 0);
      return true;
    } catch (const bip::interprocess_exception&) {
      return false;
    }
  });
}

int BoostEcho(const std::string& ping, const std::string& pong, std::uint64_t count) {
  boost_queue in;
  boost_queue out;
  if (!OpenBoostQueue(in, ping) || !OpenBoostQueue(out, pong)) return 1;
  std::vector<std::uint8_t> message(round_trip_size);
  try {
    for (std::uint64_t i = 0; i < count; ++i) {
      std::size_t got = 0;
      unsigned int priority = 0;
      in.queue->receive(message.data(), message.size(), got, priority);
      out.queue->send(message.data(), got, 0);
    }
  } catch (const bip::interprocess_exception&) {
    return 2;
  }
  return 0;
}

std::optional<rate> BoostThroughput(std::size_t size, std::uint64_t count, int cpu) {
  const std::string name = Unique("bmq-tp-" + std::to_string(size));
  boost_queue in;
  if (!CreateBoostQueue(in, name, size)) return std::nullopt;
  auto child = Child({"boost-send", name, std::to_string(size), std::to_string(count)}, cpu);
  if (!child) return std::nullopt;
  std::vector<std::uint8_t> buffer(size);
  return ReceiveStream(*child, size, count, [&](bench::stream_check& check) {
    std::size_t got = 0;
    const int result = ReceiveBoost(*in.queue, buffer, &got);
    if (result <= 0) return result;
    return check.Take(buffer.data(), got) ? 1 : -1;
  });
}

std::optional<bench::Summary> BoostRoundTrip(std::uint64_t count, int cpu) {
  const std::string ping = Unique("bmq-ping");
  const std::string pong = Unique("bmq-pong");
  boost_queue out;
  boost_queue in;
  if (!CreateBoostQueue(out, ping, round_trip_size) || !CreateBoostQueue(in, pong, round_trip_size)) {
    return std::nullopt;
  }
  auto child = Child({"boost-echo", ping, pong, std::to_string(count)}, cpu);
  if (!child) return std::nullopt;
  std::vector<std::uint8_t> back(round_trip_size);
  return PingPong(*child, count, [&](const std::vector<std::uint8_t>& message) {
    try {
      out.queue->send(message.data(), message.size(), 0);
    } catch (const bip::interprocess_exception&) {
      return false;
    }
    std::size_t got = 0;
    int result = 0;
    while ((result = ReceiveBoost(*in.queue, back, &got)) == 0) {
      if (child->Wait(std::chrono::milliseconds(0)).has_value()) return false;
    }
    return result > 0 && got == message.size() && std::memcmp(back.data(), message.data(), message.size()) == 0;
  });
}

// --- the run ----------------------------------------------------------------------------------------

int RunChild(const std::vector<std::string>& a) {
  if (a.size() < 2 || !Pin(std::stoi(a.back()))) return 90;
  const std::string& role = a[0];
  if (role == "channel-send") return ChannelSend(a.at(1), std::stoul(a.at(2)), std::stoull(a.at(3)));
  if (role == "channel-echo") return ChannelEcho(a.at(1), a.at(2), std::stoull(a.at(3)));
  if (role == "socket-send") return SocketSend(a.at(1), std::stoul(a.at(2)), std::stoull(a.at(3)));
  if (role == "socket-echo") return SocketEcho(a.at(1), std::stoull(a.at(2)));
  if (role == "mq-send") return QueueSend(a.at(1), std::stoul(a.at(2)), std::stoull(a.at(3)));
  if (role == "mq-echo") return QueueEcho(a.at(1), a.at(2), std::stoull(a.at(3)));
  if (role == "boost-send") return BoostSend(a.at(1), std::stoul(a.at(2)), std::stoull(a.at(3)));
  if (role == "boost-echo") return BoostEcho(a.at(1), a.at(2), std::stoull(a.at(3)));
  if (role == "busy") {
    // What a game or an emulator does to a CPU: never sleeps, never yields.
    std::atomic<std::uint64_t> spins{0};
    for (;;) spins.fetch_add(1, std::memory_order_relaxed);
  }
  return 91;
}

// One busy loop pinned to each CPU this program may use, for the life of the object.
class busy_cpus {
 public:
  explicit busy_cpus(const cpu_set_t& cpus) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &cpus)) continue;
      if (auto loop = Child({"busy"}, cpu)) loops_.push_back(std::move(*loop));
    }
  }
  busy_cpus(const busy_cpus&) = delete;
  busy_cpus& operator=(const busy_cpus&) = delete;
  ~busy_cpus() {
    for (platform::ChildProcess& loop : loops_) {
      loop.Kill();
      loop.Wait(child_exit_wait);
    }
  }
  [[nodiscard]] std::size_t count() const { return loops_.size(); }

 private:
  std::vector<platform::ChildProcess> loops_;
};

struct alternative {
  const char* label;
  std::optional<rate> (*throughput)(std::size_t size, std::uint64_t count, int cpu);
  std::optional<bench::Summary> (*round_trip)(std::uint64_t count, int cpu);
};

// The channel first: the ratios are taken to it.
const alternative alternatives[] = {
    {"channel", ChannelThroughput, ChannelRoundTrip},
    {"Unix socket", SocketThroughput, SocketRoundTrip},
    {"POSIX mq", QueueThroughput, QueueRoundTrip},
    {"Boost mq", BoostThroughput, BoostRoundTrip},
};
constexpr std::size_t alternative_count = std::size(alternatives);

struct placement {
  std::string label;
  int child_cpu;      // this process runs on CPU 0
  bool busy = false;  // a busy loop on every CPU meanwhile
};

struct size_case {
  const char* label;
  std::size_t size;
  std::uint64_t count;
};

// One table row: a figure per alternative, each the median over the runs.
struct row {
  std::string placement;
  std::string work;
  int decimals;
  std::vector<std::vector<std::optional<double>>> runs =
      std::vector<std::vector<std::optional<double>>>(alternative_count);
};

std::string Cells(const row& r) {
  std::vector<std::string> cells{r.placement, r.work};
  for (std::string& cell : bench::ComparisonCells(r.runs, r.decimals)) cells.push_back(std::move(cell));
  return bench::Row(cells);
}

struct options {
  int runs = 3;
  std::uint64_t scale = 1;  // counts are divided by it
  int monitor_runs = 20;
  std::vector<placement> placements{{"different CPUs", 1}, {"same CPU", 0}};
  bool load = false;
  // Above 0: only the round trips, this many per run (long enough to profile them).
  std::uint64_t round_trips_only = 0;
};

// Empty for anything it does not know, numbers that do not parse included.
std::optional<options> Parse(const std::vector<std::string>& arguments) try {
  options o;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    const bool has_value = i + 1 < arguments.size();
    if (a == "--quick") {
      o.scale = 10;
      o.runs = 1;
      o.monitor_runs = 5;
    } else if (a == "--runs" && has_value) {
      o.runs = std::stoi(arguments[++i]);
    } else if (a == "--load") {
      o.load = true;
    } else if (a == "--round-trips-only" && has_value) {
      o.round_trips_only = std::stoull(arguments[++i]);
    } else if (a == "--monitor-runs" && has_value) {
      o.monitor_runs = std::stoi(arguments[++i]);
    } else if (a == "--placement" && has_value) {
      const std::string& which = arguments[++i];
      if (which == "apart") {
        o.placements = {{"different CPUs", 1}};
      } else if (which == "together") {
        o.placements = {{"same CPU", 0}};
      } else if (which != "both") {
        return std::nullopt;
      }
    } else {
      return std::nullopt;
    }
  }
  if (o.runs < 1 || o.monitor_runs < 0) return std::nullopt;
  if (o.load) {
    const std::size_t idle = o.placements.size();
    for (std::size_t i = 0; i < idle; ++i) {
      o.placements.push_back({o.placements[i].label + ", all CPUs busy", o.placements[i].child_cpu, true});
    }
  }
  return o;
} catch (const std::exception&) {
  return std::nullopt;
}

// Raises one numeric /proc/sys setting for the life of this object, if it is lower and may be written.
class raised_setting {
 public:
  raised_setting(std::string path, long wanted) : path_(std::move(path)) {
    std::ifstream in(path_);
    if (!(in >> old_) || old_ >= wanted) return;
    std::ofstream out(path_);
    raised_ = static_cast<bool>(out << wanted << '\n');
    if (raised_)
      Note(path_ + " raised from " + std::to_string(old_) + " to " + std::to_string(wanted) + " for the run");
  }
  raised_setting(const raised_setting&) = delete;
  raised_setting& operator=(const raised_setting&) = delete;
  ~raised_setting() {
    if (!raised_) return;
    std::ofstream out(path_);
    out << old_ << '\n';
  }

 private:
  std::string path_;
  long old_ = 0;
  bool raised_ = false;
};

// Lets this process's message queues hold the deep queues CreateQueue asks for; needs privilege.
void RaiseQueueBytes() {
  const rlimit wanted{64 << 20, 64 << 20};
  rlimit now{};
  if (getrlimit(RLIMIT_MSGQUEUE, &now) == 0 && now.rlim_cur < wanted.rlim_cur &&
      setrlimit(RLIMIT_MSGQUEUE, &wanted) != 0) {
    Note("POSIX mq: RLIMIT_MSGQUEUE stays at " + std::to_string(now.rlim_cur) + " bytes");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (!arguments.empty() && arguments[0] == "--child") return RunChild({arguments.begin() + 1, arguments.end()});
  const std::optional<options> o = Parse(arguments);
  if (!o) {
    std::fprintf(stderr,
                 "usage: channel_bench [--runs N] [--quick] [--placement apart|together|both] [--load] "
                 "[--monitor-runs N] [--round-trips-only N]\n");
    return 2;
  }
  cpu_set_t all_cpus;
  if (sched_getaffinity(0, sizeof(all_cpus), &all_cpus) != 0 || !Pin(0)) {
    std::fprintf(stderr, "cannot pin to CPU 0\n");
    return 1;
  }
  const raised_setting message_size("/proc/sys/fs/mqueue/msgsize_max", 65536);
  const raised_setting queue_depth("/proc/sys/fs/mqueue/msg_max", 256);
  RaiseQueueBytes();

  const size_case sizes[] = {{"64 B", 64, 1'000'000}, {"1 KiB", 1024, 500'000}, {"64 KiB", 65536, 50'000}};
  const bool throughput = o->round_trips_only == 0;
  const std::span<const size_case> measured_sizes =
      throughput ? std::span<const size_case>(sizes) : std::span<const size_case>();
  const std::uint64_t round_trips = throughput ? 20'000 / o->scale : o->round_trips_only;

  std::vector<row> rows;
  for (const placement& where : o->placements) {
    for (const size_case& s : measured_sizes) {
      rows.push_back({where.label, std::string(s.label) + " messages, M msg/s", 3});
      rows.push_back({where.label, std::string(s.label) + " messages, MB/s", 0});
    }
    rows.push_back({where.label, "64 B round trip, median µs", 1});
    rows.push_back({where.label, "64 B round trip, p99 µs", 1});
  }
  // The runs interleave the alternatives, so that a noisy moment spreads over all of them.
  for (int run = 0; run < o->runs; ++run) {
    std::fprintf(stderr, "run %d of %d\n", run + 1, o->runs);
    std::size_t r = 0;
    for (const placement& where : o->placements) {
      std::optional<busy_cpus> load;
      if (where.busy) {
        load.emplace(all_cpus);
        if (load->count() != static_cast<std::size_t>(CPU_COUNT(&all_cpus))) Note("a busy loop did not start");
      }
      for (const size_case& s : measured_sizes) {
        for (std::size_t i = 0; i < alternative_count; ++i) {
          const auto measured = alternatives[i].throughput(s.size, s.count / o->scale, where.child_cpu);
          rows[r].runs[i].push_back(measured ? std::optional<double>(measured->messages_per_second / 1e6)
                                             : std::nullopt);
          rows[r + 1].runs[i].push_back(measured ? std::optional<double>(measured->megabytes_per_second)
                                                 : std::nullopt);
        }
        r += 2;
      }
      for (std::size_t i = 0; i < alternative_count; ++i) {
        const auto measured = alternatives[i].round_trip(round_trips, where.child_cpu);
        rows[r].runs[i].push_back(measured ? std::optional<double>(measured->median) : std::nullopt);
        rows[r + 1].runs[i].push_back(measured ? std::optional<double>(measured->p99) : std::nullopt);
      }
      r += 2;
    }
  }

  std::vector<std::string> header{"placement", "work"};
  for (const alternative& a : alternatives) header.emplace_back(a.label);
  std::printf("%s\n%s\n", bench::Row(header).c_str(),
              bench::Row(std::vector<std::string>(header.size(), "---")).c_str());
  for (const row& r : rows) std::printf("%s\n", Cells(r).c_str());

  if (o->monitor_runs > 0) {
    // The exit monitor has no alternative here: its rows show what the figures above add up to. It runs
    // where the scheduler puts it, as it does for a user (its processes inherit this one's CPUs).
    sched_setaffinity(0, sizeof(all_cpus), &all_cpus);
    auto sibling = bench::StartListeningSibling();
    const auto print = [](const char* work, const std::string& figure) {
      std::printf("%s\n", bench::Row({"-", work, figure, "-", "-", "-"}).c_str());
    };
    const auto monitor = sibling ? bench::MeasureExitMonitor(o->monitor_runs, *sibling) : std::nullopt;
    if (!monitor) {
      print("exit monitor whole run", "failed");
      Note("exit monitor: the sibling did not join the bus, a run failed, or a notice did not arrive");
    } else {
      print("exit monitor whole run, no notice, median ms", bench::Fixed(monitor->quiet.median / 1e3, 1));
      print("exit monitor whole run, one notice to a live sibling, median ms",
            bench::Fixed(monitor->notice.median / 1e3, 1));
    }
    if (sibling) {
      sibling->process.Kill();
      std::filesystem::remove(sibling->output);
    }
  }

  std::printf(
      "\nEach figure is the median of %d run(s); in parentheses each alternative's figure divided by the "
      "channel's (throughput: below 1× is slower than the channel; round trip: above 1× is slower).\n",
      o->runs);
  for (const std::string& line : notes) std::printf("- %s\n", line.c_str());
  return 0;
}
