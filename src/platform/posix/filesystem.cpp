#include "platform/filesystem.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/checked_call.h"

namespace platform {

std::filesystem::path TempDirectory() {
  const char* tmpdir = std::getenv("TMPDIR");
  return (tmpdir != nullptr && *tmpdir != '\0') ? std::filesystem::path(tmpdir) : "/tmp";
}

bool AppendFile::Open(const std::filesystem::path& path, bool truncate) {
  // O_APPEND makes every write() land at the current end of the file atomically, which is what keeps
  // the entries of concurrent writers whole.
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  file_.Reset(::open(path.c_str(), flags, 0666));
  return file_.IsValid();
}

bool AppendFile::Write(std::string_view bytes) {
  return file_ && posix::WriteAll(file_.Get(), std::as_bytes(std::span(bytes.data(), bytes.size())));
}

}  // namespace platform
