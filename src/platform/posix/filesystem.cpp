#include "platform/filesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/checked_call.h"
#include "platform/posix/user_folders.h"

// The temporary folder is shared by every user of the machine: anyone may have created our folder or
// file in it first, as a link to a file of ours, a FIFO that would block the open, or a folder that is
// theirs. So every folder below the temporary one is opened relative to the one above it, without
// following a link, and must be a folder of the effective user; the file must be a regular file of the
// user's with no other name. Where something else is in the way, the file goes to the user's own cache
// folder; an ordinary failure (a full disk, a folder of the user's own where the file belongs) does not
// move it.
namespace platform {
namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

// What stands in a place this program wanted for itself: kOpened, or kUnsafe when it is something that
// someone else may have put there, or kFailed for an ordinary failure.
enum class Outcome { kOpened, kUnsafe, kFailed };

bool OwnedByUs(const struct stat& info) { return info.st_uid == ::geteuid(); }

// Only a plain file or a folder of the user's own is an ordinary obstacle to opening a place as
// something else; anything else may have been put there by someone else.
bool Ordinary(const struct stat& info) { return (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) && OwnedByUs(info); }

// Why `name` in `folder` could not be opened as what was asked for.
Outcome Obstacle(int folder, const char* name) {
  struct stat info {};
  if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return Outcome::kFailed;
  return Ordinary(info) ? Outcome::kFailed : Outcome::kUnsafe;
}

// Opens the folder `name` inside `parent`, creating it when missing; a plain file of the user's where the
// folder belongs is removed first.
Outcome OpenOwnFolder(int parent, const char* name, OwnedHandle& folder) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    ::mkdirat(parent, name, kFolderMode);
    folder.Reset(posix::RetryOnInterrupt(
        [&] { return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    struct stat info {};
    if (folder) {
      if (::fstat(folder.Get(), &info) != 0) return Outcome::kFailed;
      if (!OwnedByUs(info)) return Outcome::kUnsafe;
      // The umask narrowed a new folder's mode; an older one of ours is closed to others as well.
      return ::fchmod(folder.Get(), kFolderMode) == 0 ? Outcome::kOpened : Outcome::kFailed;
    }
    if (::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return Outcome::kFailed;
    if (!Ordinary(info)) return Outcome::kUnsafe;
    if (!S_ISREG(info.st_mode) || ::unlinkat(parent, name, 0) != 0) return Outcome::kFailed;
  }
  return Outcome::kFailed;
}

// Walks `below` from `base` (which is trusted as it is), folder by folder.
Outcome OpenOwnFolders(const std::filesystem::path& base, const std::filesystem::path& below, OwnedHandle& folder) {
  folder.Reset(posix::RetryOnInterrupt([&] { return ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!folder) return Outcome::kFailed;
  for (const auto& part : below) {
    if (part == "..") return Outcome::kUnsafe;
    if (part.empty() || part == ".") continue;
    OwnedHandle next;
    if (const Outcome outcome = OpenOwnFolder(folder.Get(), part.c_str(), next); outcome != Outcome::kOpened) {
      return outcome;
    }
    folder = std::move(next);
  }
  return Outcome::kOpened;
}

// Opens `name` in the folder for appending: never through a link, never waiting on a FIFO or device
// (O_NONBLOCK), and only a regular file of the user's that has no other name.
Outcome OpenOwnFile(int folder, const char* name, bool truncate, OwnedHandle& file) {
  file.Reset(posix::RetryOnInterrupt([&] {
    return ::openat(folder, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kFileMode);
  }));
  if (!file) return Obstacle(folder, name);
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) return Outcome::kFailed;
  if (!S_ISREG(info.st_mode) || !OwnedByUs(info) || info.st_nlink != 1) return Outcome::kUnsafe;
  if (::fchmod(file.Get(), kFileMode) != 0 ||
      (truncate && posix::CallError([&] { return ::ftruncate(file.Get(), 0); }) != 0)) {
    return Outcome::kFailed;
  }
  return Outcome::kOpened;
}

// The trusted start of the walk to a folder: the temporary folder when the folder lies below it,
// otherwise the folder's parent.
void SplitAtTrustedBase(const std::filesystem::path& folder, std::filesystem::path& base,
                        std::filesystem::path& below) {
  base = TempDirectory();
  below = folder.lexically_relative(base);
  if (below.empty() || *below.begin() == "..") {
    base = folder.parent_path();
    below = folder.filename();
  }
}

// $XDG_CACHE_HOME/spindrel, else ~/.cache/spindrel: the user's cache folder is trusted as it is (and
// created when missing), the folder below it is walked like the temporary folder's.
bool FallbackFolder(std::filesystem::path& base, std::filesystem::path& below) {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache == '/') {
    base = cache;
  } else if (const std::filesystem::path home = posix::HomeDirectory(); !home.empty()) {
    base = home / ".cache";
  } else {
    return false;
  }
  below = "spindrel";
  return posix::MakePrivateFolders(base);
}

}  // namespace

std::filesystem::path TempDirectory() {
  const char* tmpdir = std::getenv("TMPDIR");
  return (tmpdir != nullptr && *tmpdir != '\0') ? std::filesystem::path(tmpdir) : "/tmp";
}

bool AppendFile::OpenIn(const std::filesystem::path& folder, std::string_view name, bool truncate) {
  const std::string file_name(name);
  std::filesystem::path base;
  std::filesystem::path below;
  SplitAtTrustedBase(folder, base, below);
  for (bool fallback = false;; fallback = true) {
    path_ = base / below / file_name;
    // O_APPEND makes every write() land at the current end of the file atomically, which is what keeps
    // the entries of concurrent writers whole.
    OwnedHandle own_folder;
    Outcome outcome = OpenOwnFolders(base, below, own_folder);
    if (outcome == Outcome::kOpened) outcome = OpenOwnFile(own_folder.Get(), file_name.c_str(), truncate, file_);
    if (outcome == Outcome::kOpened) return true;
    file_.Reset();
    if (outcome == Outcome::kFailed || fallback || !FallbackFolder(base, below)) return false;
  }
}

bool AppendFile::Write(std::string_view bytes) {
  return file_ && posix::WriteAll(file_.Get(), std::as_bytes(std::span(bytes.data(), bytes.size())));
}

}  // namespace platform
