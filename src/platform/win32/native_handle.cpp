#include "platform/native_handle.h"

#include "platform/win32/windows_api.h"

namespace platform {

void CloseNativeHandle(NativeHandle handle) { ::CloseHandle(handle); }

}  // namespace platform
