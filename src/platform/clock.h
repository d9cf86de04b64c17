// Wall-clock time and its local calendar form.
#pragma once

#include <cstdint>

namespace platform {

// The precise wall clock in 100-nanosecond units since 1970-01-01 00:00 UTC.
std::int64_t WallClockTicks();

inline constexpr std::int64_t kTicksPerSecond = 10'000'000;

struct LocalTime {
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Converts seconds since 1970-01-01 UTC to the local calendar time of the user.
LocalTime ToLocalTime(std::int64_t seconds_since_epoch);

}  // namespace platform
