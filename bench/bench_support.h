// Timing, statistics, message checks and table cells shared by the benchmark programs. Portable C++
// only (the test suite checks it on every build), so the OS-specific parts stay in the programs.
#pragma once

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Order statistics of one set of samples, taken by rank (no interpolation): the median of an even count
// is the upper of the two middle samples.
struct Summary {
  double median = 0;
  double p90 = 0;
  double p99 = 0;
};

// Empty for no samples.
inline std::optional<Summary> Summarise(std::vector<double> samples) {
  if (samples.empty()) return std::nullopt;
  std::sort(samples.begin(), samples.end());
  const auto at = [&](std::size_t percent) { return samples[samples.size() * percent / 100]; };
  return Summary{at(50), at(90), at(99)};
}

// The median of the values that were measured; empty when none was (every run failed).
inline std::optional<double> MedianOf(const std::vector<std::optional<double>>& runs) {
  std::vector<double> measured;
  for (const auto& run : runs) {
    if (run) measured.push_back(*run);
  }
  const auto summary = Summarise(std::move(measured));
  return summary ? std::optional<double>(summary->median) : std::nullopt;
}

// Runs work `runs` times and summarises the wall time of each run, in microseconds.
template <typename Work>
std::optional<Summary> TimeRuns(int runs, Work work) {
  std::vector<double> samples;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    work();
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return Summarise(std::move(samples));
}

// --- messages that can be checked -------------------------------------------------------------------
//
// Every throughput message carries its sequence number in its first and its last 8 bytes (one copy when
// it is shorter than 16 bytes) over a fixed byte pattern. The receiver checks the size and both numbers
// of every message and the whole content of every sampled one, and counts the bytes, so a transport that
// drops, reorders, duplicates, truncates or corrupts messages cannot produce a figure.

constexpr std::size_t min_message_size = sizeof(std::uint64_t);

// A message of size bytes (at least min_message_size) with sequence number 0.
inline std::vector<std::uint8_t> PatternMessage(std::size_t size) {
  std::vector<std::uint8_t> message(size);
  for (std::size_t i = 0; i < size; ++i) message[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return message;
}

// Writes seq into a message made by PatternMessage.
inline void Stamp(std::uint8_t* message, std::size_t size, std::uint64_t seq) {
  assert(size >= min_message_size);
  std::memcpy(message, &seq, sizeof(seq));
  if (size >= 2 * sizeof(seq)) std::memcpy(message + size - sizeof(seq), &seq, sizeof(seq));
}

class stream_check {
 public:
  // Every sample_every-th message (and the first and the last) is compared byte for byte.
  stream_check(std::size_t size, std::uint64_t count, std::uint64_t sample_every = 256)
      : size_(size),
        count_(count),
        sample_every_(sample_every == 0 ? 1 : sample_every),
        expected_(PatternMessage(size)) {
    assert(size >= min_message_size);
  }

  // Checks the next message received; false (and the stream is broken for good) when it is not the one
  // that was sent next.
  bool Take(const void* data, std::size_t size) {
    if (broken_ || size != size_ || received_ >= count_ || data == nullptr) return Break();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    std::memcpy(&head, bytes, sizeof(head));
    std::memcpy(&tail, bytes + size - sizeof(tail), sizeof(tail));
    const bool stamped_twice = size >= 2 * sizeof(head);
    if (head != received_ || (stamped_twice && tail != received_)) return Break();
    if (received_ % sample_every_ == 0 || received_ + 1 == count_) {
      Stamp(expected_.data(), size_, received_);
      if (std::memcmp(bytes, expected_.data(), size_) != 0) return Break();
    }
    ++received_;
    bytes_ += size;
    return true;
  }

  // Every message arrived, intact and in order.
  [[nodiscard]] bool Complete() const { return !broken_ && received_ == count_ && bytes_ == count_ * size_; }
  [[nodiscard]] std::uint64_t received() const { return received_; }
  [[nodiscard]] std::uint64_t bytes() const { return bytes_; }

 private:
  bool Break() {
    broken_ = true;
    return false;
  }

  std::size_t size_;
  std::uint64_t count_;
  std::uint64_t sample_every_;
  std::vector<std::uint8_t> expected_;
  std::uint64_t received_ = 0;
  std::uint64_t bytes_ = 0;
  bool broken_ = false;
};

// --- table cells ------------------------------------------------------------------------------------

// "failed" for a figure that could not be measured.
inline std::string Fixed(const std::optional<double>& value, int decimals) {
  if (!value) return "failed";
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, *value);
  return text;
}

// theirs / ours, as "0.25×" (whole numbers from 10 on, two significant digits below 0.1); "-" when either
// is missing or ours is zero.
inline std::string Ratio(const std::optional<double>& theirs, const std::optional<double>& ours) {
  if (!ours || !theirs || *ours == 0) return "-";
  const double ratio = *theirs / *ours;
  char text[32];
  if (ratio >= 10) {
    std::snprintf(text, sizeof(text), "%.0f×", ratio);
  } else if (ratio >= 0.1 || ratio == 0) {
    std::snprintf(text, sizeof(text), "%.2f×", ratio);
  } else {
    std::snprintf(text, sizeof(text), "%.2g×", ratio);
  }
  return text;
}

// One Markdown table row.
inline std::string Row(const std::vector<std::string>& cells) {
  std::string row = "|";
  for (const std::string& cell : cells) row += " " + cell + " |";
  return row;
}

// The figure cells of one comparison row: runs[i] holds alternative i's figure from each run (empty for
// a failed run), the first alternative being the one the others are compared with. Each cell is the
// median of its runs, and every other alternative's cell adds its ratio to the first: "0.47 (0.09×)".
inline std::vector<std::string> ComparisonCells(const std::vector<std::vector<std::optional<double>>>& runs,
                                                int decimals) {
  std::vector<std::string> cells;
  if (runs.empty()) return cells;
  const std::optional<double> ours = MedianOf(runs[0]);
  cells.push_back(Fixed(ours, decimals));
  for (std::size_t i = 1; i < runs.size(); ++i) {
    const std::optional<double> theirs = MedianOf(runs[i]);
    cells.push_back(Fixed(theirs, decimals) + (theirs && ours && *ours != 0 ? " (" + Ratio(theirs, ours) + ")" : ""));
  }
  return cells;
}

}  // namespace bench
