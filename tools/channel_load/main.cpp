// channel_load: many receivers and senders on one channel, every message checked.
//
// Each sender sends its share of the messages, numbered from 0, with the strict send (it waits for room
// and never evicts a receiver). The channel then owes every receiver every accepted message, whole and
// in each sender's order; a receiver that finds a sequence number missing, repeated or out of order, or
// a message whose size or checksum is wrong, fails the run. Receivers and senders are threads of this
// process, each with a handle of its own, so each is a separate peer of the channel.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "spindrel/transport/channel.h"

namespace {

constexpr char kUsage[] = R"(usage: channel_load [--receivers N] [--senders N] [--messages N] [--timeout MS]
  --receivers  receivers on the channel, 1 to 32 (default 32)
  --senders    senders, at least 1 (default 4)
  --messages   messages in all, shared among the senders (default 1000000)
  --timeout    how long a strict send waits for room, per slot, in ms (default 30000)
exit codes: 0 every receiver got every message, whole and in order; 1 a message was lost, repeated,
reordered or damaged, or a send was refused; 2 usage
)";

struct Options {
  std::uint32_t receivers = 32;
  std::uint32_t senders = 4;
  std::uint64_t messages = 1'000'000;
  std::uint64_t timeout_ms = 30'000;
};

struct Header {
  std::uint32_t sender;
  std::uint32_t seq;
  std::uint32_t size;
  std::uint32_t checksum;
};

// Mixed sizes: most messages fit one slot; the rest go through chunk storage, and in fragments when a
// pool has no chunk left.
std::uint32_t SizeOf(std::uint32_t sender, std::uint32_t seq) {
  const std::uint32_t mix = (seq * 2654435761u) ^ (sender * 40503u);
  const std::uint32_t pick = mix % 100;
  if (pick < 70) return sizeof(Header) + mix % 49;  // up to 64 bytes: one slot
  if (pick < 95) return 65 + mix % 952;             // the 1024-byte pool
  if (pick < 99) return 1017 + mix % 3080;          // the 2048- and 4096-byte pools
  return 4097 + mix % 12288;                        // up to 16 KiB
}

std::uint64_t NextWord(std::uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

std::uint32_t Checksum(const std::uint8_t* bytes, std::size_t size) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes + i, 8);
    hash = (hash ^ word) * 0x100000001b3ull;
  }
  for (; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

void Fill(std::vector<std::uint8_t>& message, std::uint32_t sender, std::uint32_t seq) {
  message.resize(SizeOf(sender, seq));
  std::uint64_t state = (std::uint64_t{sender} << 32 | seq) * 0x9E3779B97F4A7C15ull | 1;
  for (std::size_t i = sizeof(Header); i < message.size(); i += 8) {
    const std::uint64_t word = NextWord(state);
    std::memcpy(message.data() + i, &word, std::min<std::size_t>(8, message.size() - i));
  }
  const Header header{sender, seq, static_cast<std::uint32_t>(message.size()),
                      Checksum(message.data() + sizeof(Header), message.size() - sizeof(Header))};
  std::memcpy(message.data(), &header, sizeof(header));
}

std::uint32_t ShareOf(const Options& options, std::uint32_t sender) {
  const std::uint64_t base = options.messages / options.senders;
  return static_cast<std::uint32_t>(base + (sender < options.messages % options.senders ? 1 : 0));
}

struct ReceiverResult {
  std::uint64_t received = 0;
  std::uint64_t bytes = 0;
  std::uint64_t missing = 0;    // sequence numbers skipped
  std::uint64_t reordered = 0;  // repeated or older than one already seen
  std::uint64_t damaged = 0;    // unknown sender, wrong size or checksum
  bool connected = false;
};

struct Shared {
  const Options& options;
  std::string name;
  std::atomic<std::uint32_t> connected{0};
  std::atomic<bool> go{false};
  std::atomic<std::uint32_t> senders_done{0};
  std::atomic<std::uint64_t> sent{0};  // counted in steps of kProgressStep, for the progress lines
  std::atomic<std::uint64_t> refused{0};
};

constexpr std::uint32_t kProgressStep = 4096;

void Receive(Shared& shared, ReceiverResult& result) {
  ipc::channel in(shared.name, false);
  result.connected = in.connect(ipc::channel::mode::receiver);
  shared.connected.fetch_add(1);
  if (!result.connected) return;
  const Options& options = shared.options;
  std::vector<std::uint32_t> next(options.senders, 0);
  std::uint64_t expected = 0;
  for (std::uint32_t s = 0; s < options.senders; ++s) expected += ShareOf(options, s);
  // After the last sender is done, a few empty waits in a row mean nothing more is coming.
  int idle = 0;
  while (result.received < expected) {
    const ipc::recv_buffer got = in.recv();
    if (got.empty()) {
      if (shared.senders_done.load() == options.senders && ++idle >= 5) break;
      continue;
    }
    idle = 0;
    ++result.received;
    result.bytes += got.size();
    Header header{};
    const auto* bytes = static_cast<const std::uint8_t*>(got.data());
    if (got.size() < sizeof(header)) {
      ++result.damaged;
      continue;
    }
    std::memcpy(&header, bytes, sizeof(header));
    if (header.sender >= options.senders || header.size != got.size() ||
        header.size != SizeOf(header.sender, header.seq) ||
        header.checksum != Checksum(bytes + sizeof(header), got.size() - sizeof(header))) {
      ++result.damaged;
      continue;
    }
    std::uint32_t& want = next[header.sender];
    if (header.seq < want) {
      ++result.reordered;
      continue;
    }
    result.missing += header.seq - want;
    want = header.seq + 1;
  }
  for (std::uint32_t s = 0; s < options.senders; ++s)
    result.missing += ShareOf(options, s) - std::min(next[s], ShareOf(options, s));
}

void Send(Shared& shared, std::uint32_t sender) {
  ipc::channel out(shared.name, false);
  if (!out.connect(ipc::channel::mode::sender)) {
    shared.refused.fetch_add(ShareOf(shared.options, sender));
    shared.senders_done.fetch_add(1);
    return;
  }
  while (!shared.go.load()) std::this_thread::yield();
  std::vector<std::uint8_t> message;
  const std::uint32_t share = ShareOf(shared.options, sender);
  for (std::uint32_t seq = 0; seq < share; ++seq) {
    Fill(message, sender, seq);
    if (!out.send_strict(message.data(), message.size(), shared.options.timeout_ms)) shared.refused.fetch_add(1);
    if ((seq + 1) % kProgressStep == 0) shared.sent.fetch_add(kProgressStep, std::memory_order_relaxed);
  }
  shared.senders_done.fetch_add(1);
}

bool ParseNumber(std::string_view text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help" || option == "-h") return false;
    std::uint64_t value = 0;
    if (i + 1 >= argc || !ParseNumber(argv[i + 1], value)) return false;
    ++i;
    if (option == "--receivers" && value >= 1 && value <= 32) {
      options.receivers = static_cast<std::uint32_t>(value);
    } else if (option == "--senders" && value >= 1 && value <= 1024) {
      options.senders = static_cast<std::uint32_t>(value);
    } else if (option == "--messages" && value >= 1 && value <= 0xFFFF'FFFFull) {
      options.messages = value;
    } else if (option == "--timeout" && value >= 1) {
      options.timeout_ms = value;
    } else {
      return false;
    }
  }
  return true;
}

// A line on stderr every few seconds until the senders are done, so a long run is not silent.
void ReportProgress(const Shared& shared) {
  constexpr auto kEvery = std::chrono::seconds(5);
  auto next = std::chrono::steady_clock::now() + kEvery;
  while (shared.senders_done.load() < shared.options.senders) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (std::chrono::steady_clock::now() < next) continue;
    next += kEvery;
    const std::uint64_t sent = shared.sent.load(std::memory_order_relaxed);
    std::fprintf(stderr, "channel_load: about %llu of %llu messages sent (%llu%%)\n",
                 static_cast<unsigned long long>(sent), static_cast<unsigned long long>(shared.options.messages),
                 static_cast<unsigned long long>(sent * 100 / shared.options.messages));
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  Shared shared{options, "spindrel-load-" + std::to_string(platform::CurrentProcessId())};
  std::vector<ReceiverResult> results(options.receivers);
  std::vector<std::thread> receivers;
  for (auto& result : results) receivers.emplace_back(Receive, std::ref(shared), std::ref(result));
  while (shared.connected.load() < options.receivers) std::this_thread::yield();

  std::vector<std::thread> senders;
  for (std::uint32_t s = 0; s < options.senders; ++s) senders.emplace_back(Send, std::ref(shared), s);
  const auto start = std::chrono::steady_clock::now();
  shared.go.store(true);
  ReportProgress(shared);
  for (auto& sender : senders) sender.join();
  const auto sent = std::chrono::steady_clock::now();
  for (auto& receiver : receivers) receiver.join();
  const auto end = std::chrono::steady_clock::now();

  ReceiverResult total;
  std::uint32_t connected = 0;
  for (const auto& result : results) {
    connected += result.connected ? 1 : 0;
    total.received += result.received;
    total.bytes += result.bytes;
    total.missing += result.missing;
    total.reordered += result.reordered;
    total.damaged += result.damaged;
  }
  const double seconds = std::chrono::duration<double>(end - start).count();
  const double send_seconds = std::chrono::duration<double>(sent - start).count();
  std::printf(
      "channel_load: %u receivers, %u senders, %llu messages (strict sends: a receiver is never evicted,\n"
      "so every receiver is owed every accepted message, whole and in its sender's order)\n",
      options.receivers, options.senders, static_cast<unsigned long long>(options.messages));
  std::printf("time: %.2f s (sending %.2f s)\n", seconds, send_seconds);
  std::printf("throughput: %.0f messages/s sent, %.0f deliveries/s, %.1f MB/s delivered\n",
              static_cast<double>(options.messages) / seconds, static_cast<double>(total.received) / seconds,
              static_cast<double>(total.bytes) / seconds / 1e6);
  std::printf("receivers connected: %u of %u; deliveries %llu of %llu\n", connected, options.receivers,
              static_cast<unsigned long long>(total.received),
              static_cast<unsigned long long>(options.messages * options.receivers));
  std::printf("refused sends: %llu; lost: %llu; repeated or reordered: %llu; damaged: %llu\n",
              static_cast<unsigned long long>(shared.refused.load()), static_cast<unsigned long long>(total.missing),
              static_cast<unsigned long long>(total.reordered), static_cast<unsigned long long>(total.damaged));
  const bool good = connected == options.receivers && shared.refused.load() == 0 && total.missing == 0 &&
                    total.reordered == 0 && total.damaged == 0;
  std::printf("%s\n", good ? "PASS" : "FAIL");
  return good ? 0 : 1;
}
