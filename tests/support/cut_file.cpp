#include "support/cut_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <limits>

#include "platform/posix/user_folders.h"
#include "support/test_support.h"

namespace test_support {
namespace {

const bool kCutRole = RegisterChildRole("cut-file", [](const std::vector<std::string>& arguments) {
  const int fd = ::open(arguments.at(0).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return 1;
  const int result = arguments.at(1) == "truncate" ? ::ftruncate(fd, 0)
                                                   : ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 4096,
                                                                 std::numeric_limits<off_t>::max() - 4096);
  ::close(fd);
  return result == 0 ? 0 : 2;
});

}  // namespace

bool CutFile(const std::string& path, Cut how) {
  auto child = StartChild("cut-file", {path, how == Cut::kTruncate ? "truncate" : "punch"});
  return child && child->Wait(kChildDeadline) == 0;
}

std::string ObjectFile(const std::string& name, bool global) {
  const std::string folder = global ? platform::posix::BusFolderOfThisProcess().path + "/spindrel-global"
                                    : platform::posix::LocalNameFolderOfThisProcess().path;
  return folder + "/" + name;
}

}  // namespace test_support
