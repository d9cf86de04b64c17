#include "platform/native_handle.h"

#include <unistd.h>

namespace platform {

void CloseNativeHandle(NativeHandle handle) { ::close(handle); }

}  // namespace platform
