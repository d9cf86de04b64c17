#include "platform/registry.h"

#include <string>

#include "platform/registry_faults.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

// Every key is opened in the 64-bit view, so a 32-bit build of a sibling program sees the same values.
constexpr REGSAM kView = KEY_WOW64_64KEY;

HKEY RootKey(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::kCurrentUser:
      return HKEY_CURRENT_USER;
  }
  return nullptr;
}

REGSAM AccessMask(RegistryAccess access) {
  switch (access) {
    case RegistryAccess::kRead:
      return KEY_READ;
    case RegistryAccess::kWrite:
      return KEY_WRITE;
    case RegistryAccess::kAll:
      return KEY_ALL_ACCESS;
  }
  return KEY_READ;
}

RegistryStatus Status(LSTATUS code) {
  switch (code) {
    case ERROR_SUCCESS:
      return RegistryStatus::kOk;
    case ERROR_FILE_NOT_FOUND:
      return RegistryStatus::kNotFound;
    case ERROR_MORE_DATA:
      return RegistryStatus::kMoreData;
    default:
      return RegistryStatus::kFailed;
  }
}

// The system wants null-terminated names; views need not be.
std::wstring Terminated(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

struct RegistryKey::State {
  explicit State(HKEY opened) : key(opened) {}
  ~State() { ::RegCloseKey(key); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  HKEY key;
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

RegistryStatus RegistryKey::Open(RegistryRoot root, std::u16string_view sub_key, RegistryAccess access) {
  Close();
  HKEY key = nullptr;
  const LSTATUS code = ::RegOpenKeyExW(RootKey(root), Terminated(sub_key).c_str(), 0, AccessMask(access) | kView, &key);
  if (code == ERROR_SUCCESS) state_ = std::make_unique<State>(key);
  return Status(code);
}

RegistryStatus RegistryKey::Create(RegistryRoot root, std::u16string_view sub_key) {
  Close();
  HKEY key = nullptr;
  const LSTATUS code =
      ::RegCreateKeyExW(RootKey(root), Terminated(sub_key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | kView, nullptr, &key, nullptr);
  if (code == ERROR_SUCCESS) state_ = std::make_unique<State>(key);
  return Status(code);
}

bool RegistryKey::IsOpen() const { return state_ != nullptr; }

void RegistryKey::Close() { state_.reset(); }

RegistryStatus RegistryKey::QueryValue(std::u16string_view name, std::uint32_t& type, std::uint32_t& size) const {
  if (!state_) return RegistryStatus::kFailed;
  DWORD value_type = 0;
  DWORD value_size = 0;
  const LSTATUS code =
      ::RegQueryValueExW(state_->key, Terminated(name).c_str(), nullptr, &value_type, nullptr, &value_size);
  type = value_type;
  size = value_size;
  return Status(code);
}

RegistryStatus RegistryKey::ReadValue(std::u16string_view name, std::span<std::byte> buffer, std::uint32_t& type,
                                      std::uint32_t& size) const {
  if (!state_) return RegistryStatus::kFailed;
  DWORD value_type = 0;
  DWORD value_size = static_cast<DWORD>(buffer.size());
  // A null data pointer would turn the call into a size query: an empty buffer still passes a pointer.
  BYTE empty = 0;
  BYTE* data = buffer.empty() ? &empty : reinterpret_cast<BYTE*>(buffer.data());
  const LSTATUS code =
      ::RegQueryValueExW(state_->key, Terminated(name).c_str(), nullptr, &value_type, data, &value_size);
  type = value_type;
  size = value_size;
  return Status(code);
}

RegistryStatus RegistryKey::SetValue(std::u16string_view name, std::uint32_t type, std::span<const std::byte> data) {
  if (!state_ || registry_faults::TakeWriteFailure()) return RegistryStatus::kFailed;
  return Status(::RegSetValueExW(state_->key, Terminated(name).c_str(), 0, type,
                                 reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size())));
}

RegistryStatus RegistryKey::DeleteValue(std::u16string_view name) {
  if (!state_) return RegistryStatus::kFailed;
  return Status(::RegDeleteValueW(state_->key, Terminated(name).c_str()));
}

RegistryStatus RegistryKey::DeleteTree(RegistryRoot root, std::u16string_view sub_key) {
  const std::wstring path = Terminated(sub_key);
  if (path.find_first_not_of(L'\\') == std::wstring::npos) return RegistryStatus::kFailed;  // the root
  HKEY key = nullptr;
  LSTATUS code = ::RegOpenKeyExW(RootKey(root), path.c_str(), 0, KEY_ALL_ACCESS | kView, &key);
  if (code != ERROR_SUCCESS) return Status(code);
  code = ::RegDeleteTreeW(key, nullptr);  // empties the key; the key itself is left
  ::RegCloseKey(key);
  if (code != ERROR_SUCCESS) return Status(code);
  return Status(::RegDeleteKeyExW(RootKey(root), path.c_str(), kView, 0));
}

void UseRegistryStore(const std::filesystem::path&) {}

}  // namespace platform
