#include "platform/guid.h"

#include <sys/random.h>

#include <cstddef>

#include "platform/posix/checked_call.h"

namespace platform {

Guid NewGuid() {
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t filled = 0; filled < bytes.size();) {
    const ssize_t got =
        posix::RetryOnInterrupt([&] { return ::getrandom(bytes.data() + filled, bytes.size() - filled, 0); });
    if (got <= 0) return {};  // the same all-zero answer as a failing CoCreateGuid
    filled += static_cast<std::size_t>(got);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // the RFC 4122 variant

  // The parts hold the bytes in text order, so the version digit leads data3 as in a system GUID.
  Guid guid;
  guid.data1 = static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
               static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
  guid.data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
  guid.data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
  for (std::size_t i = 0; i < guid.data4.size(); ++i) guid.data4[i] = bytes[8 + i];
  return guid;
}

}  // namespace platform
