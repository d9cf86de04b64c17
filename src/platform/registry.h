// The system registry: keys holding named values of a type and raw bytes.
//
// Windows: the system's registry, always in its 64-bit view. Linux has none, so HKEY_CURRENT_USER is a
// store of our own under the user's configuration folder, one file per value (docs/registry.md); its
// values keep the system's types and raw bytes, so every size and type rule reads the same on both
// systems. Writing a value replaces it whole: a reader, or a crash, never sees half a value, and any
// number of processes may write at once (the last write wins, as on Windows).
//
// Nothing here keeps state between calls; a RegistryKey may be used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>

namespace platform {

enum class RegistryRoot { kCurrentUser };

// Value types, numbered as the system numbers them; a value may carry any other number too.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

enum class RegistryStatus {
  kOk,
  kNotFound,  // no such key or value (ERROR_FILE_NOT_FOUND)
  kMoreData,  // the value does not fit the buffer (ERROR_MORE_DATA); the size says how much it needs
  kFailed,    // anything else: access denied, a broken store, ...
};

enum class RegistryAccess { kRead, kWrite, kAll };

class RegistryKey {
 public:
  RegistryKey();
  ~RegistryKey();
  RegistryKey(RegistryKey&&) noexcept;
  RegistryKey& operator=(RegistryKey&&) noexcept;

  // Opens root\sub_key; an empty sub_key names root itself. Closes the key held before.
  RegistryStatus Open(RegistryRoot root, std::u16string_view sub_key, RegistryAccess access);
  // Opens root\sub_key, creating it and its missing parents first, with read, set-value and
  // create-sub-key access.
  RegistryStatus Create(RegistryRoot root, std::u16string_view sub_key);
  [[nodiscard]] bool IsOpen() const;
  void Close();

  // The type and size in bytes of a value, without its data.
  RegistryStatus QueryValue(std::u16string_view name, std::uint32_t& type, std::uint32_t& size) const;
  // Reads a value into buffer. size gets the value's size in bytes; when the value is larger than the
  // buffer the answer is kMoreData and nothing useful is in the buffer.
  RegistryStatus ReadValue(std::u16string_view name, std::span<std::byte> buffer, std::uint32_t& type,
                           std::uint32_t& size) const;
  // Stores data as the whole value, with the given type. Windows adds a terminating 0 to string-typed
  // data that lacks one when the code unit just after the data is 0; the Linux store never reads past
  // data.
  RegistryStatus SetValue(std::u16string_view name, std::uint32_t type, std::span<const std::byte> data);
  RegistryStatus DeleteValue(std::u16string_view name);

  // Deletes root\sub_key with all its values and sub-keys. A root key itself is never deleted.
  static RegistryStatus DeleteTree(RegistryRoot root, std::u16string_view sub_key);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Makes this process keep its Linux store in directory instead of the place docs/registry.md names
// (the SPINDREL_REGISTRY_DIR variable does the same for a process and its children). Tests use it to
// stay out of the user's own store. Does nothing on Windows, whose registry belongs to the system.
void UseRegistryStore(const std::filesystem::path& directory);

// Makes the next count value writes (SetValue) of this process fail as a full disk or a refused write
// would: kFailed, and the stored value left as it was. Tests use it to see what callers do with a failed
// write, which a store as root or the system's registry will not produce on demand. Thread-safe.
void FailRegistryWrites(int count);

}  // namespace platform
