// One bus message: a small header plus a free-form JSON body. On the transport a packet is its compact
// JSON text followed by one zero byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "spindrel/export.h"

namespace ipc {

// A freshly declared packet holds the defaults the receive side starts every incoming packet from. An
// optional field that is empty is left out of the JSON text.
struct SPINDREL_API IpcPacket {
  IpcPacket() = default;
  // An outgoing packet from this process: the body is copied; uac is this process's elevation (asked
  // once per process), the send time is now, the unique id new, from_process_id this process's id.
  IpcPacket(std::int32_t from, std::int32_t to, std::int32_t msg_id, const nlohmann::json& data);

  std::int32_t from = 0;                        // sending client (client.h)
  std::int32_t to = 0;                          // target client
  std::int32_t msg_id = 0;                      // message number; its meaning belongs to the target's handlers
  nlohmann::json data;                          // the body, null by default
  std::optional<bool> uac = true;               // the sender runs elevated
  std::optional<bool> handle_self_ipc = false;  // a receiver handles it even when it sent it itself
  std::optional<std::uint64_t> send_time_us;    // wall clock at sending, microseconds since 1970 UTC
  std::optional<std::string> unique_id;         // 36-character GUID text naming this packet
  std::optional<std::uint64_t> from_process_id = 0;
  std::optional<std::uint64_t> to_process_id = 0;  // 0: any process of the target client
  std::optional<std::string> response_channel;     // non-empty: a query; answer on this channel
};

using IpcPacketPtr = std::shared_ptr<IpcPacket>;

// A new GUID as upper-case text without braces, e.g. "9C4E2A17-5B3D-4F80-A6E1-27D08C3B5F94"; all digits
// 0 when the system cannot make one. Thread-safe.
SPINDREL_API std::string NewUniqueId();

// The wall clock in microseconds since 1970-01-01 00:00 UTC.
SPINDREL_API std::uint64_t NowUs();

// The writer: "from", "to", "msg_id" and "data" always, each optional field when present.
SPINDREL_API void to_json(nlohmann::json& json, const IpcPacket& packet);

// The reader, over a packet holding the defaults. "from", "to", "msg_id" and "data" are required:
// a non-object fails with the library's type error 304, a missing key with out-of-range error 403, and
// a header value that is not a number with type error 302 (integers are cut to 32 bits, fractions
// toward zero). An optional field that is missing, null or of the wrong type keeps its default.
SPINDREL_API void from_json(const nlohmann::json& json, IpcPacket& packet);

// The wire text: the compact JSON (members sorted by key, raw UTF-8) and one zero byte. A string that
// is not valid UTF-8 throws the library's type error 316.
SPINDREL_API std::string ToWireText(const IpcPacket& packet);

// The reader's bounds, far above any packet the suite sends (a few hundred bytes). The depth bounds the
// recursion of copying a value; the size bounds the memory of parsing one, up to about 30 bytes per byte
// of text, and twice that while the body is copied into the packet.
inline constexpr std::size_t kMaxPacketBytes = 1024 * 1024;  // the text before the zero byte
inline constexpr std::size_t kMaxPacketDepth = 512;          // arrays and objects inside each other

// Reads the wire text up to its first zero byte (anything after it is ignored). Throws the library's
// parse error for text that is not one JSON value, and the reader's errors above. Text beyond the bounds
// is refused before it is parsed, with parse error 101.
SPINDREL_API IpcPacket FromWireText(std::string_view bytes);

}  // namespace ipc
