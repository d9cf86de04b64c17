#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/guid.h"
#include "platform/native_handle.h"
#include "platform/posix/checked_call.h"
#include "platform/posix/user_folders.h"
#include "platform/private_bus.h"
#include "platform/registry_faults.h"

// Linux has no registry, so HKEY_CURRENT_USER is a folder of our own (docs/registry.md is the contract):
//
//   <store>/HKEY_CURRENT_USER/            the root key
//     k.<name>/                           a sub-key, holding the same kinds of entries
//     v.<name>                            a value: 8-byte header ("SRV1", type as 32-bit little endian),
//                                         then the value's raw bytes
//     t.<unique>                          a write in progress (or the remains of one cut short)
//
// A value is replaced whole: it is written to a fresh t. file, flushed, and renamed over v.<name>. A
// rename is atomic, so a reader opens either the old file or the new one and never a mix, a crash leaves
// the old value in place, and concurrent writers each land complete (the last one wins, as on Windows).
// Readers take everything from the one descriptor they opened, so a value replaced during a read is
// still read consistently.
namespace platform {
namespace {

constexpr char kStoreVariable[] = "SPINDREL_REGISTRY_DIR";
constexpr char kMagic[4] = {'S', 'R', 'V', '1'};
constexpr std::size_t kHeaderSize = 8;
constexpr mode_t kFileMode = 0600;
// A value here is a few KB of statistics. A bigger file was not written by this store (or not whole): it
// reads as absent, is never read into memory, and the next write replaces it.
constexpr std::size_t kMaxValueFile = std::size_t{1} << 20;
// Names longer than this (after escaping) keep a readable prefix and gain a hash, so every file name
// stays below the file system's 255-byte limit.
constexpr std::size_t kMaxEncodedName = 200;
constexpr std::size_t kHashedPrefix = 180;

struct StoreOverride {
  std::mutex mutex;
  std::filesystem::path directory;
};

StoreOverride& Override() {
  static StoreOverride instance;
  return instance;
}

// The folder that holds the store's roots: the override, SPINDREL_REGISTRY_DIR, the private bus's own,
// or the user's configuration folder. Empty when there is none, or when the private bus was refused:
// its job's statistics must not land in the user's own store.
std::filesystem::path StoreDirectory() {
  {
    StoreOverride& store = Override();
    const std::lock_guard lock(store.mutex);
    if (!store.directory.empty()) return store.directory;
  }
  if (const char* dir = std::getenv(kStoreVariable); dir != nullptr && *dir != '\0') return dir;
  if (const PrivateBus& bus = PrivateBusOfThisProcess(); !bus.folder.empty()) {
    return bus.error == 0 ? std::filesystem::path(bus.folder) / "registry" : std::filesystem::path();
  }
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
    return std::filesystem::path(config) / "spindrel" / "registry";
  }
  const std::filesystem::path home = posix::HomeDirectory();
  if (home.empty()) return {};
  return home / ".config" / "spindrel" / "registry";
}

std::filesystem::path RootDirectory(RegistryRoot root) {
  const std::filesystem::path store = StoreDirectory();
  if (store.empty()) return {};
  switch (root) {
    case RegistryRoot::kCurrentUser:
      return store / "HKEY_CURRENT_USER";
  }
  return {};
}

// Key and value names compare without regard to ASCII case, as the system's do (other letters compare
// exactly), so upper-case ASCII letters are folded before the name is escaped.
std::string EncodeName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  std::string encoded = posix::EscapeName<char16_t>(folded);
  if (encoded.size() > kMaxEncodedName) {
    const std::uint64_t hash = posix::Fnv1a64(encoded);
    encoded.resize(kHashedPrefix);
    encoded.push_back('~');
    posix::AppendHex(encoded, hash, 16);
  }
  return encoded;
}

// The folders below the root that name sub_key, outermost first. Empty components (a doubled or
// trailing backslash) are skipped.
std::vector<std::string> KeyFolders(std::u16string_view sub_key) {
  std::vector<std::string> folders;
  while (!sub_key.empty()) {
    const std::size_t end = std::min(sub_key.find(u'\\'), sub_key.size());
    if (end > 0) folders.push_back("k." + EncodeName(sub_key.substr(0, end)));
    sub_key.remove_prefix(std::min(end + 1, sub_key.size()));
  }
  return folders;
}

std::filesystem::path KeyDirectory(const std::filesystem::path& root, std::u16string_view sub_key) {
  std::filesystem::path path = root;
  for (const auto& folder : KeyFolders(sub_key)) path /= folder;
  return path;
}

std::filesystem::path ValueFile(const std::filesystem::path& key, std::u16string_view name) {
  return key / ("v." + EncodeName(name));
}

RegistryStatus StatusFromErrno(int error) {
  return (error == ENOENT || error == ENOTDIR) ? RegistryStatus::kNotFound : RegistryStatus::kFailed;
}

// An opened value file with its checked header.
struct ValueFileView {
  OwnedHandle file;
  std::uint32_t type = 0;
  std::uint32_t size = 0;
};

RegistryStatus OpenValue(const std::filesystem::path& key, std::u16string_view name, ValueFileView& view) {
  view.file.Reset(::open(ValueFile(key, name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!view.file) return StatusFromErrno(errno);
  struct stat info {};
  if (::fstat(view.file.Get(), &info) != 0) return RegistryStatus::kFailed;
  if (S_ISREG(info.st_mode) && info.st_size > off_t(kMaxValueFile)) return RegistryStatus::kNotFound;
  std::byte header[kHeaderSize];
  if (!S_ISREG(info.st_mode) || info.st_size < off_t(kHeaderSize) || !posix::ReadAll(view.file.Get(), header, 0) ||
      std::memcmp(header, kMagic, sizeof(kMagic)) != 0) {
    return RegistryStatus::kFailed;  // not a value this store wrote
  }
  view.type = 0;
  for (int i = 3; i >= 0; --i) view.type = view.type << 8 | static_cast<std::uint8_t>(header[4 + i]);
  view.size = static_cast<std::uint32_t>(info.st_size - off_t(kHeaderSize));
  return RegistryStatus::kOk;
}

std::string TemporaryName() {
  static std::atomic<std::uint32_t> counter{0};
  const Guid guid = NewGuid();  // keeps names apart even across pid reuse
  return "t." + std::to_string(::getpid()) + "." + std::to_string(counter++) + "." + std::to_string(guid.data1);
}

}  // namespace

struct RegistryKey::State {
  std::filesystem::path directory;
  bool writable = false;
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

RegistryStatus RegistryKey::Open(RegistryRoot root, std::u16string_view sub_key, RegistryAccess access) {
  Close();
  const std::filesystem::path root_directory = RootDirectory(root);
  if (root_directory.empty()) return RegistryStatus::kFailed;
  const std::filesystem::path directory = KeyDirectory(root_directory, sub_key);
  // The root key always exists on Windows; here its folder appears on first use.
  if (directory == root_directory && !posix::MakePrivateFolders(root_directory)) return RegistryStatus::kFailed;
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0) return StatusFromErrno(errno);
  if (!S_ISDIR(info.st_mode)) return RegistryStatus::kNotFound;
  state_ = std::make_unique<State>(State{directory, access != RegistryAccess::kRead});
  return RegistryStatus::kOk;
}

RegistryStatus RegistryKey::Create(RegistryRoot root, std::u16string_view sub_key) {
  Close();
  const std::filesystem::path root_directory = RootDirectory(root);
  if (root_directory.empty()) return RegistryStatus::kFailed;
  const std::filesystem::path directory = KeyDirectory(root_directory, sub_key);
  if (!posix::MakePrivateFolders(directory)) return RegistryStatus::kFailed;
  state_ = std::make_unique<State>(State{directory, true});
  return RegistryStatus::kOk;
}

bool RegistryKey::IsOpen() const { return state_ != nullptr; }

void RegistryKey::Close() { state_.reset(); }

RegistryStatus RegistryKey::QueryValue(std::u16string_view name, std::uint32_t& type, std::uint32_t& size) const {
  if (!state_) return RegistryStatus::kFailed;
  ValueFileView view;
  const RegistryStatus status = OpenValue(state_->directory, name, view);
  if (status != RegistryStatus::kOk) return status;
  type = view.type;
  size = view.size;
  return RegistryStatus::kOk;
}

RegistryStatus RegistryKey::ReadValue(std::u16string_view name, std::span<std::byte> buffer, std::uint32_t& type,
                                      std::uint32_t& size) const {
  if (!state_) return RegistryStatus::kFailed;
  ValueFileView view;
  const RegistryStatus status = OpenValue(state_->directory, name, view);
  if (status != RegistryStatus::kOk) return status;
  type = view.type;
  size = view.size;
  if (view.size > buffer.size()) return RegistryStatus::kMoreData;
  return posix::ReadAll(view.file.Get(), buffer.first(view.size), kHeaderSize) ? RegistryStatus::kOk
                                                                               : RegistryStatus::kFailed;
}

RegistryStatus RegistryKey::SetValue(std::u16string_view name, std::uint32_t type, std::span<const std::byte> data) {
  if (!state_ || !state_->writable || data.size() > kMaxValueFile - kHeaderSize) return RegistryStatus::kFailed;
  if (registry_faults::TakeWriteFailure()) return RegistryStatus::kFailed;
  std::vector<std::byte> contents(kHeaderSize + data.size());
  std::memcpy(contents.data(), kMagic, sizeof(kMagic));
  for (int i = 0; i < 4; ++i) contents[4 + i] = static_cast<std::byte>(type >> (8 * i));
  if (!data.empty()) std::memcpy(contents.data() + kHeaderSize, data.data(), data.size());

  const std::filesystem::path temporary = state_->directory / TemporaryName();
  OwnedHandle file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kFileMode));
  if (!file) return RegistryStatus::kFailed;   // also when the key was deleted meanwhile
  if (::fchmod(file.Get(), kFileMode) != 0) {  // the umask narrowed it
    ::unlink(temporary.c_str());
    return RegistryStatus::kFailed;
  }
  // Flushed before the rename, so that after a system crash the name holds the old value or the whole
  // new one, never an empty file.
  const bool written = posix::WriteAll(file.Get(), contents) && ::fsync(file.Get()) == 0;
  file.Reset();
  if (!written || ::rename(temporary.c_str(), ValueFile(state_->directory, name).c_str()) != 0) {
    ::unlink(temporary.c_str());
    return RegistryStatus::kFailed;
  }
  return RegistryStatus::kOk;
}

RegistryStatus RegistryKey::DeleteValue(std::u16string_view name) {
  if (!state_ || !state_->writable) return RegistryStatus::kFailed;
  if (::unlink(ValueFile(state_->directory, name).c_str()) != 0) return StatusFromErrno(errno);
  return RegistryStatus::kOk;
}

RegistryStatus RegistryKey::DeleteTree(RegistryRoot root, std::u16string_view sub_key) {
  const std::filesystem::path root_directory = RootDirectory(root);
  if (root_directory.empty()) return RegistryStatus::kFailed;
  const std::filesystem::path directory = KeyDirectory(root_directory, sub_key);
  if (directory == root_directory) return RegistryStatus::kFailed;  // a root key is never deleted
  struct stat info {};
  if (::lstat(directory.c_str(), &info) != 0) return StatusFromErrno(errno);
  if (!S_ISDIR(info.st_mode)) return RegistryStatus::kNotFound;
  std::error_code error;
  std::filesystem::remove_all(directory, error);
  return error ? RegistryStatus::kFailed : RegistryStatus::kOk;
}

void UseRegistryStore(const std::filesystem::path& directory) {
  StoreOverride& store = Override();
  const std::lock_guard lock(store.mutex);
  store.directory = directory;
}

}  // namespace platform
