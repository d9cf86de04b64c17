// What the exit report needs of the message bus: join it, send a notice, leave it.
#pragma once

#include <cstdint>

namespace boot {

class BusLink {
 public:
  virtual ~BusLink() = default;
  // Joins the bus as this program's client.
  virtual void Join() = 0;
  // Sends a notice with a null body to client `to`, in the global scope. Failures are not reported:
  // the exit report goes on whether or not a sibling received it.
  virtual void SendNotice(std::int32_t to, std::int32_t msg_id) = 0;
  // Leaves the bus and writes its statistics.
  virtual void Leave() = 0;
};

// The bus of this process.
BusLink& ProcessBus();

}  // namespace boot
