// The one place that names the system's handle type. Code above the platform layer holds handles only
// through OwnedHandle and never sees the type itself.
#pragma once

#include "platform/unique_handle.h"

namespace platform {

#if defined(_WIN32)
using NativeHandle = void*;  // HANDLE; INVALID_HANDLE_VALUE results are turned into null where they arise
inline constexpr NativeHandle kInvalidNativeHandle = nullptr;
#else
using NativeHandle = int;  // file descriptor
inline constexpr NativeHandle kInvalidNativeHandle = -1;
#endif

void CloseNativeHandle(NativeHandle handle);

struct NativeHandleTraits {
  using Handle = NativeHandle;
  static constexpr Handle Invalid() { return kInvalidNativeHandle; }
  static void Close(Handle handle) { CloseNativeHandle(handle); }
};

using OwnedHandle = UniqueHandle<NativeHandleTraits>;

}  // namespace platform
