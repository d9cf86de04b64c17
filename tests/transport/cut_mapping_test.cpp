// Another process cuts short the files behind a live channel: truncates its queue, truncates or
// punches a hole in a chunk pool. The channel's process must live on, its operations fail with a
// line in the log, and the channel works again once the file is made anew. Linux only.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "spindrel/transport/channel.h"
#include "support/cut_file.h"
#include "support/log_capture.h"
#include "transport/channel_helpers.h"
#include "transport/channel_layout.h"

namespace {

using channel_test::ChannelPeers;
using channel_test::Holds;
using channel_test::Pattern;
using ipc::channel;
using test_support::Cut;
using test_support::CutFile;

std::string QueueFile(const std::string& channel_name) {
  return test_support::ObjectFile("__IPC_SHM__" + ipc::layout::queue_name(channel_name), false);
}
std::string PoolFile(std::uint64_t chunk_size) {
  return test_support::ObjectFile("__IPC_SHM__" + ipc::layout::chunk_info_name(chunk_size), true);
}

bool Logged(const std::vector<test_support::LoggedLine>& lines, std::string_view text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const auto& line) { return line.text.find(text) != std::string::npos; });
}

bool Exchange(channel& sender, channel& receiver, std::size_t size, std::uint32_t seed) {
  const auto bytes = Pattern(size, seed);
  return sender.send(bytes.data(), bytes.size(), 1000) && Holds(receiver.recv(1000), bytes);
}

TEST(CutMapping, ATruncatedQueueFailsItsChannelAndTheNameMakesANewQueue) {
  test_support::LogCapture log;
  const std::string name = test_support::Unique("cut-queue");
  channel receiver(name, false);
  channel sender(name, false);
  ASSERT_TRUE(receiver.connect(channel::mode::receiver));
  ASSERT_TRUE(sender.connect(channel::mode::sender));
  ASSERT_TRUE(Exchange(sender, receiver, 40, 1));
  ASSERT_TRUE(CutFile(QueueFile(name), Cut::kTruncate));

  // Each touches the cut queue; the first of them meets the bus error.
  const auto bytes = Pattern(40, 2);
  EXPECT_FALSE(sender.send(bytes.data(), bytes.size(), 100));
  EXPECT_TRUE(receiver.recv(10).empty());
  EXPECT_FALSE(sender.send(bytes.data(), bytes.size(), 100));
  EXPECT_FALSE(sender.valid());
  EXPECT_FALSE(receiver.valid());
  const auto lines = test_support::LogCapture::Take();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const auto& line) { return line.text.find("was cut short") != std::string::npos; }),
            1);

  // Nobody holds the cut file any more: the next open removes it and makes a whole queue.
  channel new_receiver(name, false);
  channel new_sender(name, false);
  ASSERT_TRUE(new_receiver.connect(channel::mode::receiver));
  ASSERT_TRUE(new_sender.connect(channel::mode::sender));
  EXPECT_TRUE(Exchange(new_sender, new_receiver, 40, 3));
  EXPECT_FALSE(sender.send(bytes.data(), bytes.size(), 100)) << "the old handles stay broken";
}

TEST(CutMapping, ACutPoolIsMadeAnewAndLargeMessagesGoOn) {
  const std::uint64_t c = channel_test::PrivateChunkSize(71);
  const std::size_t size = c - 8;
  for (const Cut how : {Cut::kPunchHole, Cut::kTruncate}) {
    SCOPED_TRACE(how == Cut::kTruncate ? "truncated" : "punched");
    test_support::LogCapture log;
    ChannelPeers peers("cut-pool");
    ASSERT_TRUE(peers.Ready());
    ASSERT_TRUE(Exchange(peers.sender, peers.receiver(), size, 1));
    ASSERT_TRUE(CutFile(PoolFile(c), how));
    // A message may be lost to the cut, with a line in the log; then the pool is whole again.
    bool delivered = false;
    for (std::uint32_t attempt = 0; attempt < 3 && !delivered; ++attempt) {
      delivered = Exchange(peers.sender, peers.receiver(), size, 2 + attempt);
    }
    EXPECT_TRUE(delivered);
    EXPECT_TRUE(Exchange(peers.sender, peers.receiver(), size, 9));
    EXPECT_EQ(peers.queue.last().msg.is_storage, 1) << "in a chunk of the pool made anew, not in fragments";
    if (how == Cut::kTruncate) {
      EXPECT_TRUE(Logged(test_support::LogCapture::Take(), "was cut short"));
    }
  }
}

TEST(CutMapping, APoolMadeAnewAfterACutHandsEachChunkToOneMessage) {
  const std::uint64_t c = channel_test::PrivateChunkSize(73);
  const std::size_t size = c - 8;
  test_support::LogCapture log;
  ChannelPeers peers("cut-held");
  ASSERT_TRUE(peers.Ready());
  const auto first = Pattern(size, 1);
  ASSERT_TRUE(peers.sender.send(first.data(), first.size(), 1000));
  ipc::recv_buffer held = peers.receiver().recv(1000);
  ASSERT_TRUE(Holds(held, first));
  ASSERT_TRUE(CutFile(PoolFile(c), Cut::kTruncate));

  bool delivered = false;
  for (std::uint32_t attempt = 0; attempt < 3 && !delivered; ++attempt) {
    delivered = Exchange(peers.sender, peers.receiver(), size, 2 + attempt);
  }
  ASSERT_TRUE(delivered);

  // The chunk read in place lay in the cut object: it reads as zeros now instead of faulting. The
  // chunks this process had taken from the cut pool are not the new pool's: none of them may come
  // back onto its free list, or two of the messages below would share a chunk.
  const auto* held_bytes = static_cast<const std::uint8_t*>(held.data());
  EXPECT_TRUE(std::all_of(held_bytes, held_bytes + held.size(), [](std::uint8_t b) { return b == 0; }));
  held.reset();
  std::vector<std::vector<std::uint8_t>> sent;
  for (std::uint32_t k = 0; k < 12; ++k) {
    sent.push_back(Pattern(size, 10 + k));
    ASSERT_TRUE(peers.sender.send(sent.back().data(), size, 1000));
    EXPECT_EQ(peers.queue.last().msg.is_storage, 1);
  }
  std::vector<ipc::recv_buffer> received;
  for (std::uint32_t k = 0; k < sent.size(); ++k) received.push_back(peers.receiver().recv(1000));
  for (std::uint32_t k = 0; k < sent.size(); ++k) EXPECT_TRUE(Holds(received[k], sent[k])) << "message " << k;
}

}  // namespace
