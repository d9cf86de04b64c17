// The one security-attributes record of the process, shared by every named object the backend creates.
#pragma once

#include "platform/win32/windows_api.h"

namespace platform::win32 {

// The record with a null DACL, or null (the system's default security) when it could not be built.
SECURITY_ATTRIBUTES* SharedSecurityAttributes();

}  // namespace platform::win32
