#include "platform/posix/user_folders.h"

#include <fcntl.h>

#include <cstring>

#include "platform/native_handle.h"
#include "platform/private_bus.h"

namespace platform {
namespace posix {
namespace {

constexpr const char* kDefaultBusFolder = "/dev/shm";

struct BusState {
  PrivateBus bus;
  BusFolder folder;
};

BusState Refused(BusState state, ErrorCode error, const std::string& problem) {
  state.bus.error = error;
  state.bus.problem = problem;
  state.folder = {};
  return state;
}

// The private bus's folder is what /dev/shm is to the default bus: whoever may change its entries may
// replace the namespace folders in it. So it is the user's own (root also takes its login session's
// user's, whose session folder it uses anyway), and nobody else may write it unless it is sticky.
BusState ResolveBus() {
  BusState state;
  state.folder = {kDefaultBusFolder, 0};
  const char* value = std::getenv(kPrivateBusVariable);
  if (value == nullptr || *value == '\0') return state;
  state.bus.folder = value;
  if (*value != '/') return Refused(std::move(state), EINVAL, "not an absolute path");
  MakePrivateFolders(value);  // what it could not make, the checks below describe
  const OwnedHandle folder(::open(value, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!folder || ::fstat(folder.Get(), &info) != 0) {
    const int error = errno;
    if (error == ENOTDIR || error == ELOOP) {
      return Refused(std::move(state), ENOTDIR, "not a folder (a file or a symbolic link is in its place)");
    }
    return Refused(std::move(state), static_cast<ErrorCode>(error),
                   std::string("cannot be opened or made: ") + std::strerror(error));
  }
  const uid_t self = ::geteuid();
  const auto session = CurrentLoginSession();
  const bool own = info.st_uid == self || (self == 0 && session && info.st_uid == session->user);
  if (!own) {
    return Refused(std::move(state), EACCES,
                   "owned by uid " + std::to_string(info.st_uid) + ", not by this process's user (uid " +
                       std::to_string(self) + ")");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
    return Refused(std::move(state), EACCES, "writable by group or others and not sticky");
  }
  state.folder = {value, info.st_uid};
  return state;
}

const BusState& Bus() {
  static const BusState state = ResolveBus();
  return state;
}

}  // namespace

const BusFolder& BusFolderOfThisProcess() { return Bus().folder; }

LocalNameFolder LocalNameFolderOfThisProcess() {
  const std::string& root = Bus().folder.path;
  if (root.empty()) return {};
  const uid_t self = ::geteuid();
  if (const auto session = CurrentLoginSession(); session && (self == 0 || self == session->user)) {
    return {root + "/spindrel-session-" + std::to_string(session->id), session->user};
  }
  return {root + "/spindrel-user-" + std::to_string(self), self};
}

}  // namespace posix

const PrivateBus& PrivateBusOfThisProcess() { return posix::Bus().bus; }

}  // namespace platform
