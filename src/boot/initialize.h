// The boot sequence of the exit monitor: join the bus, open the log, record the exit it was told about
// and send the notices its process kind calls for.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "boot/bus_link.h"

namespace boot {

// Notices that sibling programs receive when a product process exits.
struct Notice {
  std::int32_t to;
  std::int32_t msg_id;
};
inline constexpr Notice kGameServiceNotice{110016, 83000};
inline constexpr Notice kEmulatorNotice{110002, 20017};

// Joins the bus, opens the process-wide log once, logs this process's command line and reports the exit
// it describes.
void Initialize(BusLink& bus);

// Parses the exit description from an argument vector (program path first), sends the notices and logs
// what it understood. Bad options only make their values absent.
void ReportExit(BusLink& bus, std::span<const std::u16string> arguments);

}  // namespace boot
