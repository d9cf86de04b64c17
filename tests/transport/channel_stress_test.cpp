// Many processes on one channel at once: 4 senders, 3 receivers, messages of every kind (one slot,
// storage, fragments when a pool runs dry). Every receiver must get every message intact, and each
// sender's messages in the order sent.
#include "spindrel/transport/channel.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>

#include "support/test_support.h"
#include "transport/channel_helpers.h"

namespace {

using channel_test::QueueView;
using ipc::channel;
using test_support::Unique;

constexpr int kSenders = 4;
constexpr int kReceivers = 3;
// Under Wine every wait is a server round trip: fewer messages there.
constexpr std::uint32_t kPerSender = channel_test::kWindowsBuild ? 1000 : 25'000;

struct header {
  std::uint32_t sender;
  std::uint32_t seq;
  std::uint32_t size;
  std::uint32_t checksum;
};

std::uint32_t SizeOf(std::uint32_t sender, std::uint32_t seq) {
  const std::uint32_t mix = seq * 2654435761u + sender * 40503u;
  switch (mix % 10) {
    case 9:
      return 1017 + mix % 3000;  // storage in larger pools
    case 6:
    case 7:
    case 8:
      return 65 + mix % 952;  // storage in the 1024 pool
    default:
      return sizeof(header) + mix % 49;  // one slot
  }
}

std::uint8_t ByteAt(std::uint32_t sender, std::uint32_t seq, std::size_t i) {
  return static_cast<std::uint8_t>(sender * 131 + seq * 7 + i * 13 + (i >> 8));
}

std::uint32_t Checksum(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t hash = 2166136261u;
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

std::vector<std::uint8_t> MessageOf(std::uint32_t sender, std::uint32_t seq) {
  std::vector<std::uint8_t> bytes(SizeOf(sender, seq));
  for (std::size_t i = sizeof(header); i < bytes.size(); ++i) bytes[i] = ByteAt(sender, seq, i);
  const header h{sender, seq, static_cast<std::uint32_t>(bytes.size()),
                 Checksum(bytes.data() + sizeof(header), bytes.size() - sizeof(header))};
  std::memcpy(bytes.data(), &h, sizeof(h));
  return bytes;
}

const bool kSenderRole =
    test_support::RegisterChildRole("channel-stress-sender", [](const std::vector<std::string>& arguments) {
      channel out(arguments.at(0), false);
      if (!out.connect(channel::mode::sender)) return 1;
      const auto sender = static_cast<std::uint32_t>(std::stoul(arguments.at(1)));
      for (std::uint32_t seq = 0; seq < kPerSender; ++seq) {
        const auto bytes = MessageOf(sender, seq);
        if (!out.send(bytes.data(), bytes.size(), 5000)) {
          std::fprintf(stderr, "sender %u: send %u failed\n", sender, seq);
          return 2;
        }
      }
      return 0;
    });

const bool kReceiverRole =
    test_support::RegisterChildRole("channel-stress-receiver", [](const std::vector<std::string>& arguments) {
      channel in(arguments.at(0), false);
      if (!in.connect(channel::mode::receiver)) return 1;
      std::vector<std::uint32_t> next(kSenders, 0);
      std::uint32_t received = 0;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(100);
      while (received < kSenders * kPerSender && std::chrono::steady_clock::now() < deadline) {
        const ipc::recv_buffer got = in.recv();
        if (got.empty()) continue;
        header h{};
        if (got.size() < sizeof(h)) return 2;
        std::memcpy(&h, got.data(), sizeof(h));
        const auto* bytes = static_cast<const std::uint8_t*>(got.data());
        if (h.sender >= kSenders || h.size != got.size() || h.size != SizeOf(h.sender, h.seq)) return 3;
        if (h.seq != next[h.sender]) {
          std::fprintf(stderr, "receiver: sender %u sent %u, expected %u\n", h.sender, h.seq, next[h.sender]);
          return 4;
        }
        if (Checksum(bytes + sizeof(h), got.size() - sizeof(h)) != h.checksum) return 5;
        for (std::size_t i = sizeof(h); i < got.size(); ++i) {
          if (bytes[i] != ByteAt(h.sender, h.seq, i)) return 6;
        }
        ++next[h.sender];
        ++received;
      }
      if (received != kSenders * kPerSender) {
        std::fprintf(stderr, "receiver: %u of %u messages\n", received, kSenders * kPerSender);
        return 7;
      }
      return 0;
    });

TEST(ChannelStress, FourSendersThreeReceiversEveryMessageIntactAndInOrder) {
  const std::string name = Unique("stress");
  const QueueView queue(name, false);
  ASSERT_TRUE(queue.valid());
  std::vector<platform::ChildProcess> receivers;
  for (int i = 0; i < kReceivers; ++i) {
    auto child = test_support::StartChild("channel-stress-receiver", {name});
    ASSERT_TRUE(child);
    receivers.push_back(std::move(*child));
  }
  ASSERT_TRUE(channel_test::Await([&] { return std::popcount(queue.connections()) == kReceivers; }));
  std::vector<platform::ChildProcess> senders;
  for (int i = 0; i < kSenders; ++i) {
    auto child = test_support::StartChild("channel-stress-sender", {name, std::to_string(i)});
    ASSERT_TRUE(child);
    senders.push_back(std::move(*child));
  }
  for (auto& sender : senders) EXPECT_EQ(sender.Wait(std::chrono::seconds(110)), 0);
  for (auto& receiver : receivers) EXPECT_EQ(receiver.Wait(std::chrono::seconds(110)), 0);
}

}  // namespace
