#include "platform/filesystem.h"

#include "platform/win32/windows_api.h"

namespace platform {

std::filesystem::path TempDirectory() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) return {};
  return std::filesystem::path(std::wstring(buffer, length));
}

bool AppendFile::OpenIn(const std::filesystem::path& folder, std::string_view name, bool truncate) {
  Close();
  // The user's temporary folder is the user's own here: no other user can plant anything in it.
  std::error_code ignored;
  if (std::filesystem::exists(folder, ignored) && !std::filesystem::is_directory(folder, ignored)) {
    std::filesystem::remove_all(folder, ignored);
  }
  std::filesystem::create_directories(folder, ignored);
  path_ = folder / std::filesystem::path(name);
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes the system put every write at the current end of the
  // file in one step, so entries of processes appending at the same time stay whole.
  const DWORD access = FILE_APPEND_DATA | SYNCHRONIZE;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (truncate) {
    HANDLE emptied =
        ::CreateFileW(path_.c_str(), GENERIC_WRITE, share, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (emptied == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(emptied);
  }
  HANDLE file = ::CreateFileW(path_.c_str(), access, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  file_.Reset(file == INVALID_HANDLE_VALUE ? nullptr : file);
  return file_.IsValid();
}

bool AppendFile::Write(std::string_view bytes) {
  if (!file_) return false;
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!::WriteFile(file_.Get(), bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace platform
