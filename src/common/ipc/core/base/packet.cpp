#include "spindrel/bus/packet.h"

#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "platform/clock.h"
#include "platform/guid.h"
#include "platform/process.h"
#include "spindrel/bus/client.h"

namespace ipc {
namespace {

using nlohmann::json;

// Fractions are cut toward zero. Values beyond the 64-bit range saturate, where a plain cast would be
// undefined.
std::int64_t TruncateToInt64(double value) {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (std::isnan(value)) return 0;
  if (value >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (value < -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

std::uint64_t TruncateToUint64(double value) {
  constexpr double kLimit = 18446744073709551616.0;  // 2^64
  if (value >= kLimit) return std::numeric_limits<std::uint64_t>::max();
  if (value >= 0) return static_cast<std::uint64_t>(value);
  return static_cast<std::uint64_t>(TruncateToInt64(value));  // as a negative integer reads
}

// A header number: integers keep their low 32 bits, floating numbers are truncated first.
std::int32_t HeaderNumber(const json& value) {
  switch (value.type()) {
    case json::value_t::number_integer:
      return static_cast<std::int32_t>(value.get<std::int64_t>());
    case json::value_t::number_unsigned:
      return static_cast<std::int32_t>(value.get<std::uint64_t>());
    case json::value_t::number_float:
      return static_cast<std::int32_t>(TruncateToInt64(value.get<double>()));
    default:
      throw json::type_error::create(302, "type must be number, but is " + std::string(value.type_name()), &value);
  }
}

std::optional<bool> AsBoolean(const json& value) {
  if (!value.is_boolean()) return std::nullopt;
  return value.get<bool>();
}

// Unsigned as is, signed reinterpreted as unsigned 64-bit, floating truncated.
std::optional<std::uint64_t> AsUnsigned(const json& value) {
  switch (value.type()) {
    case json::value_t::number_unsigned:
      return value.get<std::uint64_t>();
    case json::value_t::number_integer:
      return static_cast<std::uint64_t>(value.get<std::int64_t>());
    case json::value_t::number_float:
      return TruncateToUint64(value.get<double>());
    default:
      return std::nullopt;
  }
}

std::optional<std::string> AsString(const json& value) {
  if (!value.is_string()) return std::nullopt;
  return value.get<std::string>();
}

// An optional member: missing, null or of the wrong type leaves the field as it is.
template <typename T, typename Convert>
void ReadOptional(const json& object, const char* key, std::optional<T>& field, Convert convert) {
  if (!object.is_object()) return;
  const auto member = object.find(key);
  if (member == object.end() || member->is_null()) return;
  if (auto value = convert(*member)) field = std::move(*value);
}

template <typename T>
void WriteOptional(json& object, const char* key, const std::optional<T>& field) {
  if (field) object[key] = *field;
}

// Copying, comparing and writing a JSON value recurse once per level of nesting, so a packet a few hundred
// kilobytes long could exhaust a decode thread's stack (and end the process) before any handler sees it.
// This pass counts the levels without recursion; brackets inside strings do not count. Outside strings
// the brackets of valid JSON balance, so the count is the parser's depth; invalid text is the parser's to
// refuse, and it stops at the first fault, before the count can have gone astray.
void CheckBounds(std::string_view text) {
  if (text.size() > kMaxPacketBytes) {
    throw json::parse_error::create(
        101, kMaxPacketBytes + 1,
        fmt::format("packet of {} bytes exceeds the limit of {} bytes", text.size(), kMaxPacketBytes), nullptr);
  }
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxPacketDepth) {
        throw json::parse_error::create(101, i + 1, fmt::format("packet nests deeper than {} levels", kMaxPacketDepth),
                                        nullptr);
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
}

}  // namespace

IpcPacket::IpcPacket(std::int32_t from, std::int32_t to, std::int32_t msg_id, const nlohmann::json& data)
    : from(from), to(to), msg_id(msg_id), data(data) {
  static const bool elevated = IsProcessElevated();
  uac = elevated;
  handle_self_ipc = false;
  send_time_us = NowUs();
  unique_id = NewUniqueId();
  from_process_id = platform::CurrentProcessId();
  to_process_id = 0;
  response_channel.reset();
}

std::string NewUniqueId() {
  const platform::Guid guid = platform::NewGuid();
  const auto& b = guid.data4;
  return fmt::format("{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}", guid.data1, guid.data2,
                     guid.data3, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
}

std::uint64_t NowUs() { return static_cast<std::uint64_t>(platform::WallClockTicks() / 10); }

void to_json(nlohmann::json& json, const IpcPacket& packet) {
  json = nlohmann::json::object();
  json["from"] = packet.from;
  json["to"] = packet.to;
  json["msg_id"] = packet.msg_id;
  json["data"] = packet.data;
  WriteOptional(json, "uac", packet.uac);
  WriteOptional(json, "handle_self_ipc", packet.handle_self_ipc);
  WriteOptional(json, "send_time_us", packet.send_time_us);
  WriteOptional(json, "unique_id", packet.unique_id);
  WriteOptional(json, "from_process_id", packet.from_process_id);
  WriteOptional(json, "to_process_id", packet.to_process_id);
  WriteOptional(json, "response_channel", packet.response_channel);
}

void from_json(const nlohmann::json& json, IpcPacket& packet) {
  packet.from = HeaderNumber(json.at("from"));
  packet.to = HeaderNumber(json.at("to"));
  packet.msg_id = HeaderNumber(json.at("msg_id"));
  packet.data = json.at("data");
  ReadOptional(json, "uac", packet.uac, AsBoolean);
  ReadOptional(json, "handle_self_ipc", packet.handle_self_ipc, AsBoolean);
  ReadOptional(json, "send_time_us", packet.send_time_us, AsUnsigned);
  ReadOptional(json, "unique_id", packet.unique_id, AsString);
  ReadOptional(json, "from_process_id", packet.from_process_id, AsUnsigned);
  ReadOptional(json, "to_process_id", packet.to_process_id, AsUnsigned);
  ReadOptional(json, "response_channel", packet.response_channel, AsString);
}

std::string ToWireText(const IpcPacket& packet) {
  std::string text = nlohmann::json(packet).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  text.push_back('\0');
  return text;
}

IpcPacket FromWireText(std::string_view bytes) {
  const std::string_view text = bytes.substr(0, bytes.find('\0'));
  CheckBounds(text);
  IpcPacket packet;
  nlohmann::json::parse(text).get_to(packet);
  return packet;
}

}  // namespace ipc
