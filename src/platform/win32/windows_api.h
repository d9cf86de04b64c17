// The only place that includes <windows.h>.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // Windows 10: GetSystemTimePreciseAsFileTime and friends

#include <windows.h>

#include <string>
#include <string_view>

namespace platform::win32 {

// The system's wide characters are UTF-16 code units: the two views below only change the pointer type.
inline const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
inline std::u16string_view FromWide(const wchar_t* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(reinterpret_cast<const char16_t*>(text));
}

}  // namespace platform::win32
