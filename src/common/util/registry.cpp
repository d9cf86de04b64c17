#include "common/util/registry.h"

#include <cstddef>
#include <cstring>
#include <span>

using platform::RegistryAccess;
using platform::RegistryKey;
using platform::RegistryRoot;
using platform::RegistryStatus;

namespace {

bool IsStringType(std::uint32_t type) { return type == platform::kRegSz || type == platform::kRegExpandSz; }

}  // namespace

std::u16string ReadRegString(RegistryRoot root, std::u16string_view sub_key, std::u16string_view value_name,
                             std::u16string_view default_value) {
  const std::u16string fallback(default_value);
  RegistryKey key;
  if (key.Open(root, sub_key, RegistryAccess::kRead) != RegistryStatus::kOk) return fallback;

  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (key.QueryValue(value_name, type, size) != RegistryStatus::kOk || !IsStringType(type) || size < 2) {
    return fallback;
  }

  // Whole code units only: an odd last byte is left out of the read, and the value then no longer fits.
  std::vector<char16_t> text(size / 2, u'\0');
  std::uint32_t read_size = 0;
  if (key.ReadValue(value_name, std::as_writable_bytes(std::span(text)), type, read_size) != RegistryStatus::kOk ||
      !IsStringType(type)) {
    return fallback;  // also a value that grew or changed its type since the query
  }
  if (read_size == 0) return u"";
  if (read_size % 2 != 0 || text[read_size / 2 - 1] != u'\0') return fallback;
  return std::u16string(text.data());  // up to the first 0
}

bool WriteRegString(RegistryRoot root, std::u16string_view sub_key, std::u16string_view value_name,
                    std::u16string_view data) {
  RegistryKey key;
  if (key.Open(root, sub_key, RegistryAccess::kWrite) != RegistryStatus::kOk &&
      key.Create(root, sub_key) != RegistryStatus::kOk &&
      key.Open(root, sub_key, RegistryAccess::kWrite) != RegistryStatus::kOk) {
    return false;
  }
  if (value_name.empty() && data.empty()) return true;
  if (data.data() == nullptr) return false;

  std::u16string stored(data.substr(0, data.find(u'\0')));
  stored.push_back(u'\0');
  return key.SetValue(value_name, platform::kRegSz, std::as_bytes(std::span(stored.data(), stored.size()))) ==
         RegistryStatus::kOk;
}

bool DeleteRegValues(std::u16string_view sub_key, const std::vector<std::u16string>& value_names) {
  RegistryKey key;
  const RegistryStatus opened = key.Open(RegistryRoot::kCurrentUser, sub_key, RegistryAccess::kAll);
  if (opened != RegistryStatus::kOk) return opened == RegistryStatus::kNotFound;
  bool all_deleted = true;
  for (const auto& name : value_names) {
    const RegistryStatus deleted = key.DeleteValue(name);
    if (deleted != RegistryStatus::kOk && deleted != RegistryStatus::kNotFound) all_deleted = false;
  }
  return all_deleted;
}
