// The packet reader over arbitrary bytes: it either throws the JSON library's error or yields a packet
// that survives a trip through the writer unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "spindrel/bus/packet.h"

namespace {

bool SamePacket(const ipc::IpcPacket& a, const ipc::IpcPacket& b) {
  return a.from == b.from && a.to == b.to && a.msg_id == b.msg_id && a.data == b.data && a.uac == b.uac &&
         a.handle_self_ipc == b.handle_self_ipc && a.send_time_us == b.send_time_us && a.unique_id == b.unique_id &&
         a.from_process_id == b.from_process_id && a.to_process_id == b.to_process_id &&
         a.response_channel == b.response_channel;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  ipc::IpcPacket packet;
  try {
    packet = ipc::FromWireText(bytes);
  } catch (const nlohmann::json::exception&) {
    return 0;  // refused: the documented outcome for bytes that are not a packet
  }
  // The parser accepts only valid UTF-8, so the writer must take whatever the reader gave.
  const std::string text = ipc::ToWireText(packet);
  if (text.empty() || text.back() != '\0' || text.find('\0') != text.size() - 1) {
    std::fprintf(stderr, "wire text without exactly one closing zero byte\n");
    std::abort();
  }
  // The writer may lengthen a number ("1e9" becomes "1000000000.0"): past the size limit the reader
  // refuses its own writer's text, as documented.
  if (text.size() - 1 > ipc::kMaxPacketBytes) return 0;
  if (!SamePacket(ipc::FromWireText(text), packet)) {
    std::fprintf(stderr, "packet changed on a trip through the writer: %s\n", text.c_str());
    std::abort();
  }
  return 0;
}
