// The name the system gets for a kernel object: the bus's own name, or its private form on a private bus
// (platform/private_bus.h).
#pragma once

#include <string>
#include <string_view>

#include "platform/named_object.h"

namespace platform::win32 {

// False, with error set, when the private bus's folder was refused: no object is created or opened then,
// and nothing falls back to the default bus.
bool SystemObjectName(std::string_view name, std::string& system_name, ErrorCode& error);

}  // namespace platform::win32
