#include "tools/buspeer/arguments.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <iterator>

#include "spindrel/bus/client.h"

namespace buspeer {
namespace {

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

std::string ReadAll(std::FILE* file) {
  std::string text;
  char chunk[65536];
  for (std::size_t read = 0; (read = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, read);
  return text;
}

}  // namespace

std::int32_t ParseClient(const std::string& text) {
  for (const auto& [id, name] : ipc::KnownClients()) {
    if (SameIgnoringCase(name, text)) return id;
  }
  std::int32_t id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size() || ipc::GetClientName(id) == ipc::kUnknownClientName) {
    throw UsageError("no client " + text + "; `buspeer clients` lists the running ones, client.h all of them");
  }
  return id;
}

std::optional<std::size_t> FirstNonUtf8Byte(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte: it rules out overlong forms and surrogates
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return i;
    }
    if (i + length > bytes.size()) return i;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return i;
    }
    i += length;
  }
  return std::nullopt;
}

nlohmann::json ParseJsonArgument(const std::string& option, const std::string& value, std::FILE* stdin_file) {
  std::string text = value;
  std::string origin = option;
  if (value == "-") {
    text = ReadAll(stdin_file);
    origin = option + " - (stdin)";
  } else if (value.starts_with("@")) {
    std::ifstream file(value.substr(1), std::ios::binary);
    if (!file) throw UsageError(option + ": cannot read " + value.substr(1));
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    origin = option + " " + value;
  }
  if (const auto bad = FirstNonUtf8Byte(text)) {
    throw UsageError(origin + ": byte " + std::to_string(*bad) + " is not UTF-8; the bus carries UTF-8 text only");
  }
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
  if (parsed.is_discarded()) {
    throw UsageError(origin + " is not one JSON value (strings need quotes: --data '\"text\"')");
  }
  return parsed;
}

}  // namespace buspeer
