#include "platform/guid.h"

#include "platform/win32/windows_api.h"

#include <objbase.h>

namespace platform {

Guid NewGuid() {
  GUID system{};  // stays zero when the call fails; its result is deliberately not needed
  ::CoCreateGuid(&system);
  Guid guid;
  guid.data1 = system.Data1;
  guid.data2 = system.Data2;
  guid.data3 = system.Data3;
  for (std::size_t i = 0; i < guid.data4.size(); ++i) guid.data4[i] = system.Data4[i];
  return guid;
}

}  // namespace platform
