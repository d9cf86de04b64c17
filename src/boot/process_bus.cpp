#include "boot/bus_link.h"

#include <nlohmann/json.hpp>

#include "spindrel/bus/ipc_core.h"
#include "spindrel/bus/sender.h"
#include "spindrel/transport/log_sink.h"

namespace boot {
namespace {

constexpr const char* kSource = "src/boot/process_bus";

// The exit monitor's place on the bus: client 110013, joined for the length of one run.
class ProcessBusLink final : public BusLink {
 public:
  void Join() override {
    // A join that failed still lets the notices go out; only this process's own receiving is lost.
    if (!ipc::IpcCore::Instance().Init(ipc::kExitMonitorClientId)) {
      ipc::log_sink(ipc::log_level_failure, kSource, __LINE__, "join the bus failed, notices are still sent.");
    }
  }

  void SendNotice(std::int32_t to, std::int32_t msg_id) override {
    // Notices go to the siblings' global channels; one that nobody receives is not an error.
    ipc::SendPacket(ipc::CreatePacket(to, msg_id, nlohmann::json()), true);
  }

  void Leave() override { ipc::IpcCore::Instance().Uninit(true); }
};

}  // namespace

BusLink& ProcessBus() {
  static ProcessBusLink bus;
  return bus;
}

}  // namespace boot
