// Turning buspeer's option values into what the commands take. Each throws UsageError with a message
// that says what was wrong.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace buspeer {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A client id (110016) or name in any case (TwGameService, twgameservice).
std::int32_t ParseClient(const std::string& text);

// The position of the first byte that does not belong to well-formed UTF-8, if any.
std::optional<std::size_t> FirstNonUtf8Byte(std::string_view bytes);

// The JSON text of --data or --answer: the text itself, "@FILE" for a file's contents, or "-" for what
// stdin holds. Refuses bytes that are not UTF-8 and text that is not one JSON value.
nlohmann::json ParseJsonArgument(const std::string& option, const std::string& value, std::FILE* stdin_file);

}  // namespace buspeer
