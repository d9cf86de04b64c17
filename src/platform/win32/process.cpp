#include "platform/process.h"

#include "platform/native_handle.h"
#include "platform/win32/windows_api.h"

#include <tlhelp32.h>

namespace platform {

std::uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

void TerminateCurrentProcess(int exit_code) {
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exit_code));
  ::ExitProcess(static_cast<UINT>(exit_code));  // not reached; tells the compiler so
}

bool IsProcessElevated() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  const OwnedHandle token(raw);
  TOKEN_ELEVATION elevation{};
  DWORD returned = 0;
  if (!::GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &returned)) return false;
  return returned == sizeof(elevation) && elevation.TokenIsElevated != 0;
}

std::filesystem::path ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

bool ProcessGone(std::uint32_t pid) {
  if (pid == 0) return false;
  HANDLE raw = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  // No process has that id: OpenProcess says ERROR_INVALID_PARAMETER. Any other failure (access
  // denied) means it exists.
  if (raw == nullptr) return ::GetLastError() == ERROR_INVALID_PARAMETER;
  const OwnedHandle process(raw);
  return ::WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
}

std::vector<ProcessEntry> SnapshotProcesses() {
  std::vector<ProcessEntry> entries;
  HANDLE raw = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  const OwnedHandle snapshot(raw == INVALID_HANDLE_VALUE ? nullptr : raw);
  if (!snapshot) return entries;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
    entries.push_back({entry.th32ProcessID, std::u16string(win32::FromWide(entry.szExeFile))});
  }
  return entries;
}

}  // namespace platform
