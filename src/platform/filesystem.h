// Files and folders the system itself chooses or shares between processes.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/native_handle.h"

namespace platform {

// The user's temporary directory (TMP/TEMP on Windows, TMPDIR or /tmp on Linux).
std::filesystem::path TempDirectory();

// A file opened for appending and shared with other processes. Each Write lands at the end of the file
// in one piece, even while other processes append to the same file.
class AppendFile {
 public:
  // Opens (creating when missing) the file; truncate empties an existing one first. False on failure.
  bool Open(const std::filesystem::path& path, bool truncate);
  [[nodiscard]] bool IsOpen() const { return file_.IsValid(); }
  // Appends all bytes; false when the system wrote fewer.
  bool Write(std::string_view bytes);
  void Close() { file_.Reset(); }

 private:
  OwnedHandle file_;
};

}  // namespace platform
