#include "platform/shared_memory.h"

#include "platform/unicode.h"
#include "platform/win32/object_name.h"
#include "platform/win32/object_security.h"
#include "platform/win32/windows_api.h"

namespace platform {

NamedObject CreateSharedMemory(std::string_view name, std::uint64_t size, ErrorCode& error, bool* existed) {
  if (existed != nullptr) *existed = false;
  std::string system_name;
  if (!win32::SystemObjectName(name, system_name, error)) return NamedObject();
  const std::u16string wide = Utf8ToUtf16(system_name);
  ::SetLastError(0);  // a new mapping need not clear it; ERROR_ALREADY_EXISTS must not be stale
  NamedObject mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, win32::SharedSecurityAttributes(),
                                           PAGE_READWRITE | SEC_COMMIT, static_cast<DWORD>(size >> 32),
                                           static_cast<DWORD>(size), win32::Wide(wide)));
  error = ::GetLastError();
  if (existed != nullptr) *existed = mapping && error == ERROR_ALREADY_EXISTS;
  return mapping;
}

NamedObject OpenSharedMemory(std::string_view name, ErrorCode& error) {
  std::string system_name;
  if (!win32::SystemObjectName(name, system_name, error)) return NamedObject();
  const std::u16string wide = Utf8ToUtf16(system_name);
  NamedObject mapping(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, win32::Wide(wide)));
  if (!mapping) error = ::GetLastError();
  return mapping;
}

void* MapSharedMemory(const NamedObject& mapping, ErrorCode& error) {
  void* view = ::MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view == nullptr) error = ::GetLastError();
  return view;
}

bool QueryRegionSize(const void* view, std::uint64_t& size, ErrorCode& error) {
  MEMORY_BASIC_INFORMATION info{};
  if (::VirtualQuery(view, &info, sizeof(info)) == 0) {
    error = ::GetLastError();
    return false;
  }
  size = info.RegionSize;
  return true;
}

bool UnmapSharedMemory(void* view) { return ::UnmapViewOfFile(view) != FALSE; }

// A section cannot shrink under a view, and there is no fork.
bool SharedMemoryIsBroken(const void*, bool* first_notice) {
  if (first_notice != nullptr) *first_notice = false;
  return false;
}

}  // namespace platform
