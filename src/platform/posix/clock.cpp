#include "platform/clock.h"

#include <time.h>

namespace platform {

std::int64_t WallClockTicks() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / 100;
}

LocalTime ToLocalTime(std::int64_t seconds_since_epoch) {
  const time_t seconds = static_cast<time_t>(seconds_since_epoch);
  tm local{};
  ::localtime_r(&seconds, &local);
  return {local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

}  // namespace platform
