#include "platform/clock.h"

#include <ctime>

#include "platform/win32/windows_api.h"

namespace platform {

std::int64_t WallClockTicks() {
  constexpr std::int64_t kTicksFrom1601To1970 = 0x19DB1DED53E8000;
  FILETIME now{};
  ::GetSystemTimePreciseAsFileTime(&now);
  const auto ticks = (static_cast<std::int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return ticks - kTicksFrom1601To1970;
}

LocalTime ToLocalTime(std::int64_t seconds_since_epoch) {
  const __time64_t seconds = seconds_since_epoch;
  std::tm local{};
  ::_localtime64_s(&local, &seconds);
  return {local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

}  // namespace platform
