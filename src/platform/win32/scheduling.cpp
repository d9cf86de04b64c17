#include "platform/scheduling.h"

#include "platform/win32/windows_api.h"

namespace platform {

void YieldThread() { ::SwitchToThread(); }

}  // namespace platform
