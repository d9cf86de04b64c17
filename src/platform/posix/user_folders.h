// Folders of the user's own: the home folder, and folders created private to the user.
#pragma once

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace platform::posix {

// $HOME when it is an absolute path, else the home folder the user database gives; empty when neither.
inline std::filesystem::path HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

// Creates the folder and every missing folder above it, each mode 0700 whatever the umask (mkdir's mode
// is narrowed by it, so it is set again). One that exists already is fine; false when a part of the path
// is not a folder or cannot be created.
inline bool MakePrivateFolders(const std::filesystem::path& path) {
  constexpr mode_t kMode = 0700;
  if (path.empty()) return true;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  if (errno != ENOENT || path.parent_path() == path || !MakePrivateFolders(path.parent_path())) return false;
  if (::mkdir(path.c_str(), kMode) == 0) return ::chmod(path.c_str(), kMode) == 0;
  return errno == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The audit login session of the process: the kernel numbers it when a login sets the login uid, and
// sudo and pkexec keep both, so the ordinary and the elevated processes of one login share them. Unknown
// (nullopt) where nothing set them (containers, services, CI): both files then read 4294967295.
struct LoginSession {
  std::uint32_t id = 0;
  uid_t user = 0;  // the login uid: the user who logged in, whoever the process runs as now
};

inline std::optional<std::uint32_t> ReadProcNumber(const char* path) {
  std::ifstream in(path);
  std::uint64_t value = 0;
  if (!(in >> value) || value >= 0xFFFF'FFFFu) return std::nullopt;  // 4294967295: never set
  return static_cast<std::uint32_t>(value);
}

inline std::optional<LoginSession> CurrentLoginSession() {
  const auto id = ReadProcNumber("/proc/self/sessionid");
  const auto user = ReadProcNumber("/proc/self/loginuid");
  if (!id || !user) return std::nullopt;
  return LoginSession{*id, static_cast<uid_t>(*user)};
}

// The folder that holds the namespace folders, and the user who stands for root in it (who makes, and
// owns, the global folders): /dev/shm and root on the default bus; on a private bus (private_bus.h) its
// folder and that folder's owner, so that an ordinary user's job has global objects too. The path is
// empty when the private bus's folder was refused. Checked once per process, on the first call.
struct BusFolder {
  std::string path;
  uid_t admin = 0;
};

const BusFolder& BusFolderOfThisProcess();

// The folder of the process's Local and unprefixed names, and the user who must own it: the login
// session's folder, so the user's ordinary and elevated processes of one login meet there (Windows'
// session rule); with no session known, or for a process running as a third user, the user's own.
struct LocalNameFolder {
  std::string path;
  uid_t owner = 0;
};

LocalNameFolder LocalNameFolderOfThisProcess();

}  // namespace platform::posix
