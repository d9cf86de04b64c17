#include "bench/bench_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace {

using bench::stream_check;

// Feeds count stamped messages of size bytes, as a sender does; true when every one was taken.
bool FeedStream(stream_check& check, std::size_t size, std::uint64_t count) {
  std::vector<std::uint8_t> message = bench::PatternMessage(size);
  for (std::uint64_t i = 0; i < count; ++i) {
    bench::Stamp(message.data(), size, i);
    if (!check.Take(message.data(), message.size())) return false;
  }
  return true;
}

std::vector<std::uint8_t> Message(std::size_t size, std::uint64_t seq) {
  std::vector<std::uint8_t> message = bench::PatternMessage(size);
  bench::Stamp(message.data(), size, seq);
  return message;
}

TEST(StreamCheck, AnIntactStreamIsCompleteOnlyAfterItsLastMessage) {
  // 8 and 15 bytes carry one sequence number, 16 and more two.
  for (const std::size_t size :
       {std::size_t{8}, std::size_t{15}, std::size_t{16}, std::size_t{64}, std::size_t{65536}}) {
    SCOPED_TRACE(size);
    stream_check check(size, 600, 100);
    ASSERT_TRUE(FeedStream(check, size, 599));
    EXPECT_FALSE(check.Complete());
    const auto last = Message(size, 599);
    ASSERT_TRUE(check.Take(last.data(), last.size()));
    EXPECT_TRUE(check.Complete());
    EXPECT_EQ(check.bytes(), 600 * size);
    // One more than was sent is as wrong as one less.
    EXPECT_FALSE(check.Take(last.data(), last.size()));
    EXPECT_FALSE(check.Complete());
  }
}

TEST(StreamCheck, RefusesLostReorderedAndRepeatedMessages) {
  const auto zero = Message(64, 0);
  const auto one = Message(64, 1);
  const auto two = Message(64, 2);

  stream_check lost(64, 3);
  ASSERT_TRUE(lost.Take(zero.data(), zero.size()));
  EXPECT_FALSE(lost.Take(two.data(), two.size()));

  stream_check repeated(64, 3);
  ASSERT_TRUE(repeated.Take(zero.data(), zero.size()));
  EXPECT_FALSE(repeated.Take(zero.data(), zero.size()));

  stream_check reordered(64, 3);
  EXPECT_FALSE(reordered.Take(one.data(), one.size()));
}

TEST(StreamCheck, RefusesMessagesOfTheWrongSize) {
  const auto longer = Message(65, 0);
  stream_check check_longer(64, 1);
  EXPECT_FALSE(check_longer.Take(longer.data(), longer.size()));

  // A message cut short keeps its leading sequence number, so only the size gives it away.
  const auto whole = Message(1024, 0);
  stream_check check_shorter(1024, 1);
  EXPECT_FALSE(check_shorter.Take(whole.data(), 1000));

  stream_check check_nothing(64, 1);
  EXPECT_FALSE(check_nothing.Take(nullptr, 64));
}

TEST(StreamCheck, FindsDamageInTheStampsOfEveryMessageAndAnywhereInSampledOnes) {
  // Sampled: the first, every 4th and the last. Message 2 is not sampled, but its tail stamp is checked.
  auto tail_damaged = Message(1024, 2);
  tail_damaged[1020] ^= 0x01;
  stream_check check_tail(1024, 10, 4);
  ASSERT_TRUE(FeedStream(check_tail, 1024, 2));
  EXPECT_FALSE(check_tail.Take(tail_damaged.data(), tail_damaged.size()));

  for (const std::uint64_t sampled : {std::uint64_t{0}, std::uint64_t{4}, std::uint64_t{9}}) {
    SCOPED_TRACE(sampled);
    auto middle_damaged = Message(1024, sampled);
    middle_damaged[512] ^= 0x80;
    stream_check check(1024, 10, 4);
    ASSERT_TRUE(FeedStream(check, 1024, sampled));
    EXPECT_FALSE(check.Take(middle_damaged.data(), middle_damaged.size()));
  }
}

TEST(StreamCheck, StaysBrokenAfterARefusal) {
  const auto zero = Message(64, 0);
  const auto one = Message(64, 1);
  stream_check check(64, 2);
  EXPECT_FALSE(check.Take(one.data(), one.size()));
  // The right messages afterwards cannot make up for the wrong one.
  EXPECT_FALSE(check.Take(zero.data(), zero.size()));
  EXPECT_FALSE(check.Take(one.data(), one.size()));
  EXPECT_FALSE(check.Complete());
}

TEST(Statistics, SummaryTakesRanksOfTheSortedSamples) {
  EXPECT_FALSE(bench::Summarise({}).has_value());

  const auto one = bench::Summarise({7.0});
  ASSERT_TRUE(one);
  EXPECT_EQ(one->median, 7.0);
  EXPECT_EQ(one->p99, 7.0);

  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);  // unsorted on purpose
  const auto summary = bench::Summarise(hundred);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->median, 51.0);
  EXPECT_EQ(summary->p90, 91.0);
  EXPECT_EQ(summary->p99, 100.0);
}

TEST(Statistics, MedianOfRunsLeavesFailedRunsOut) {
  EXPECT_EQ(bench::MedianOf({3.0, std::nullopt, 1.0, 2.0, std::nullopt}), 2.0);
  EXPECT_FALSE(bench::MedianOf({std::nullopt, std::nullopt}).has_value());
  EXPECT_FALSE(bench::MedianOf({}).has_value());
}

TEST(Table, ComparisonCellsShowMediansAndRatiosToTheFirst) {
  const std::vector<std::vector<std::optional<double>>> runs{
      {4.0, 2.0, 3.0},           // the channel: median 3
      {1.0, 1.5, std::nullopt},  // median of the two that ran: 1.5
      {std::nullopt, std::nullopt},
      {6.0},
  };
  EXPECT_EQ(bench::ComparisonCells(runs, 2),
            (std::vector<std::string>{"3.00", "1.50 (0.50×)", "failed", "6.00 (2.00×)"}));

  // Without the channel's figure there is nothing to compare with.
  EXPECT_EQ(bench::ComparisonCells({{std::nullopt}, {2.0}}, 0), (std::vector<std::string>{"failed", "2"}));
  EXPECT_EQ(bench::ComparisonCells({{0.0}, {2.0}}, 1), (std::vector<std::string>{"0.0", "2.0"}));

  // Ratios far from 1 keep what matters: the magnitude.
  EXPECT_EQ(bench::ComparisonCells({{2.0}, {6000.0}, {0.0062}}, 1),
            (std::vector<std::string>{"2.0", "6000.0 (3000×)", "0.0 (0.0031×)"}));

  EXPECT_EQ(bench::Row({"a", "b c"}), "| a | b c |");
}

}  // namespace
