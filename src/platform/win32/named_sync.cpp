#include "platform/named_sync.h"

#include <string>

#include "platform/unicode.h"
#include "platform/win32/object_name.h"
#include "platform/win32/object_security.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

WaitResult ToWaitResult(DWORD result, ErrorCode& error) {
  switch (result) {
    case WAIT_OBJECT_0:
      return WaitResult::kSignaled;
    case WAIT_ABANDONED:
      error = ::GetLastError();
      return WaitResult::kAbandoned;
    case WAIT_TIMEOUT:
      return WaitResult::kTimeout;
    default:
      error = ::GetLastError();
      return WaitResult::kFailed;
  }
}

}  // namespace

NamedObject CreateNamedMutex(std::string_view name, ErrorCode& error) {
  std::string system_name;
  if (!win32::SystemObjectName(name, system_name, error)) return NamedObject();
  const std::u16string wide = Utf8ToUtf16(system_name);
  NamedObject mutex(::CreateMutexW(win32::SharedSecurityAttributes(), FALSE, win32::Wide(wide)));
  if (!mutex) error = ::GetLastError();
  return mutex;
}

NamedObject CreateOwnedMutex(std::string_view name, ErrorCode& error) {
  std::string ansi;
  if (!win32::SystemObjectName(name, ansi, error)) return NamedObject();
  NamedObject mutex(::CreateMutexA(win32::SharedSecurityAttributes(), TRUE, ansi.c_str()));
  if (!mutex) error = ::GetLastError();
  return mutex;
}

bool NamedMutexExists(std::string_view name) {
  std::string ansi;
  ErrorCode ignored = 0;  // a refused private bus holds nothing
  if (!win32::SystemObjectName(name, ansi, ignored)) return false;
  const NamedObject mutex(::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, ansi.c_str()));
  return mutex.IsValid();
}

std::optional<std::uint32_t> NamedMutexOwnerProcess(std::string_view) { return std::nullopt; }

WaitResult LockNamedMutex(const NamedObject& mutex, std::uint32_t timeout_ms, ErrorCode& error) {
  return ToWaitResult(::WaitForSingleObject(mutex.Get(), timeout_ms), error);
}

bool UnlockNamedMutex(const NamedObject& mutex, ErrorCode& error) {
  if (::ReleaseMutex(mutex.Get())) return true;
  error = ::GetLastError();
  return false;
}

bool IfNamedMutexFree(const NamedObject& mutex, bool (*check)(void* context), void* context) {
  const DWORD taken = ::WaitForSingleObject(mutex.Get(), 0);
  if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) return false;
  const bool result = check(context);
  ::ReleaseMutex(mutex.Get());
  return result;
}

NamedObject CreateNamedSemaphore(std::string_view name, ErrorCode& error) {
  std::string system_name;
  if (!win32::SystemObjectName(name, system_name, error)) return NamedObject();
  const std::u16string wide = Utf8ToUtf16(system_name);
  NamedObject semaphore(::CreateSemaphoreW(win32::SharedSecurityAttributes(), 0, kSemaphoreMaximum, win32::Wide(wide)));
  if (!semaphore) error = ::GetLastError();
  return semaphore;
}

bool PostNamedSemaphore(const NamedObject& semaphore, std::int32_t count, ErrorCode& error) {
  if (count <= 0) {  // Wine would accept a post of 0
    error = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (::ReleaseSemaphore(semaphore.Get(), count, nullptr)) return true;
  error = ::GetLastError();
  return false;
}

WaitResult WaitNamedSemaphore(const NamedObject& semaphore, std::uint32_t timeout_ms, ErrorCode& error) {
  return ToWaitResult(::WaitForSingleObject(semaphore.Get(), timeout_ms), error);
}

WaitResult SignalMutexAndWait(const NamedObject& mutex, const NamedObject& semaphore, std::uint32_t timeout_ms,
                              ErrorCode& error) {
  return ToWaitResult(::SignalObjectAndWait(mutex.Get(), semaphore.Get(), timeout_ms, FALSE), error);
}

}  // namespace platform
