// Globally unique identifiers.
#pragma once

#include <array>
#include <cstdint>

namespace platform {

// The system's GUID layout: one 32-bit part, two 16-bit parts and eight bytes.
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};
};

// A new random GUID (version 4): CoCreateGuid on Windows, the kernel's random source on Linux. All
// zero when the system cannot make one. Thread-safe.
Guid NewGuid();

}  // namespace platform
