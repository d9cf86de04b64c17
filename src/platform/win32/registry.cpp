#include "platform/registry.h"

#include <string>

#include "platform/private_bus.h"
#include "platform/registry_faults.h"
#include "platform/unicode.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

// Every key is opened in the 64-bit view, so a 32-bit build of a sibling program sees the same values.
constexpr REGSAM kView = KEY_WOW64_64KEY;

// The system wants null-terminated names; views need not be.
std::wstring Terminated(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

// The system's root key, or on a private bus its key below it, made on first use, so that a job's
// values stay apart from the user's own and from other jobs' (the store cannot move into the folder:
// the values belong to the system's registry, where other programs read them).
class RootKey {
 public:
  explicit RootKey(RegistryRoot root) {
    switch (root) {
      case RegistryRoot::kCurrentUser:
        key_ = HKEY_CURRENT_USER;
        break;
    }
    const PrivateBus& bus = PrivateBusOfThisProcess();
    if (bus.error != 0) {
      key_ = nullptr;
    } else if (!bus.folder.empty()) {
      const std::wstring path =
          Terminated(u"Software\\spindrel\\private-bus\\" + Utf8ToUtf16(PrivateBusHash(bus.folder)));
      HKEY opened = nullptr;
      const LSTATUS code = ::RegCreateKeyExW(key_, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_ALL_ACCESS | kView, nullptr, &opened, nullptr);
      key_ = code == ERROR_SUCCESS ? opened : nullptr;
      owned_ = key_ != nullptr;
    }
  }
  ~RootKey() {
    if (owned_) ::RegCloseKey(key_);
  }
  RootKey(const RootKey&) = delete;
  RootKey& operator=(const RootKey&) = delete;

  // Null when the private bus's key is unavailable.
  [[nodiscard]] HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
  bool owned_ = false;
};

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
  const RootKey base(root);
  if (base.Get() == nullptr) return RegistryStatus::kFailed;
  HKEY key = nullptr;
  const LSTATUS code = ::RegOpenKeyExW(base.Get(), Terminated(sub_key).c_str(), 0, AccessMask(access) | kView, &key);
  if (code == ERROR_SUCCESS) state_ = std::make_unique<State>(key);
  return Status(code);
}

RegistryStatus RegistryKey::Create(RegistryRoot root, std::u16string_view sub_key) {
  Close();
  const RootKey base(root);
  if (base.Get() == nullptr) return RegistryStatus::kFailed;
  HKEY key = nullptr;
  const LSTATUS code = ::RegCreateKeyExW(base.Get(), Terminated(sub_key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
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
  const RootKey base(root);
  if (base.Get() == nullptr) return RegistryStatus::kFailed;
  HKEY key = nullptr;
  LSTATUS code = ::RegOpenKeyExW(base.Get(), path.c_str(), 0, KEY_ALL_ACCESS | kView, &key);
  if (code != ERROR_SUCCESS) return Status(code);
  code = ::RegDeleteTreeW(key, nullptr);  // empties the key; the key itself is left
  ::RegCloseKey(key);
  if (code != ERROR_SUCCESS) return Status(code);
  return Status(::RegDeleteKeyExW(base.Get(), path.c_str(), kView, 0));
}

void UseRegistryStore(const std::filesystem::path&) {}

}  // namespace platform
