// Conversions between UTF-8 (the transport's and the log's text) and UTF-16 (the system's wide text).
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Invalid input is not an error: each ill-formed sequence becomes U+FFFD, as the system converters do.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace platform
