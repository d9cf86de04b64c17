// Named kernel objects shared between processes: the owner type every named mapping, mutex and semaphore
// is held through, the error codes their calls report, and the security they are created with.
//
// The model is Windows': names live in a namespace ("Global\X" is one object for every user of the
// machine; "Local\X" and "X" are the same object, private to the user's session), an object is created
// or opened by name and lives while any process has a handle to it, and a new object starts zero-filled.
// The POSIX backend gives the same semantics on Linux (docs/linux-objects.md), and the same limits to
// other users: any user opens an existing Global object, only root creates a Global mapping (Windows asks
// for SeCreateGlobalPrivilege), nobody else removes or replaces a name while it is held, and "Local\X"
// belongs to the login session (sudo keeps it), so a user's ordinary and elevated processes meet there.
// Opening an existing mutex with "initially owned" does not take it, as on Windows: only a creator owns
// its new mutex.
#pragma once

#include <cstdint>

#include "platform/unique_handle.h"

namespace platform {

// A system error code as the failing call reported it: GetLastError() on Windows, errno on Linux.
using ErrorCode = std::uint32_t;

// Closes one handle to a named object; the object itself goes away with its last handle in any process.
void CloseNamedObject(void* object);

struct NamedObjectTraits {
  using Handle = void*;  // HANDLE on Windows; the process's record of the object on Linux
  static constexpr Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { CloseNamedObject(handle); }
};

// Move-only owner of one handle to a named mapping, mutex or semaphore.
using NamedObject = UniqueHandle<NamedObjectTraits>;

// The outcome of building the process-wide security that every named object is created with: on
// Windows a security descriptor whose DACL is present and null (any user may open the object); on
// Linux, Global objects are readable and writable by every user. Built once, on the first call, and
// never retried; after a failure objects get the system's default security.
struct ObjectSecurity {
  enum class Failure { kNone, kInitializeDescriptor, kSetDacl };
  Failure failure = Failure::kNone;
  ErrorCode error = 0;  // the failing call's error code
};

// Thread-safe; every call returns the same record.
const ObjectSecurity& SharedObjectSecurity();

}  // namespace platform
