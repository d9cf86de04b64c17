// The hash and hexadecimal digits that object and key names are built with on both systems. Both are
// part of names other programs compute too, so they never change.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// 64-bit FNV-1a: short, and stable across builds and machines.
constexpr std::uint64_t Fnv1a64(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
  return hash;
}

// Upper-case digits, the most significant first.
inline void AppendHex(std::string& text, std::uint64_t value, int digits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += kHex[(value >> shift) & 0xF];
}

}  // namespace platform
