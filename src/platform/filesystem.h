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
  // Opens the file `name` in `folder` for appending, creating the file and any missing folder; a plain
  // file where the folder belongs is removed. truncate empties an existing file first. False on failure.
  //
  // On Linux the place must be the user's own, since the temporary folder is everyone's: each folder
  // below the temporary folder (for a folder elsewhere: the folder itself) is a real folder, not a link,
  // owned by the effective user and made mode 0700; the file is a regular file of the user's with one
  // name, made mode 0600, opened without following a link or waiting on a FIFO or device. Where
  // something else is in the way (a link, a FIFO or device, another user's file or folder), the file
  // `name` in the user's own $XDG_CACHE_HOME/spindrel (else ~/.cache/spindrel), held to the same
  // rules, is opened instead; any other failure is a failure.
  bool OpenIn(const std::filesystem::path& folder, std::string_view name, bool truncate);
  [[nodiscard]] bool IsOpen() const { return file_.IsValid(); }
  // The file opened, or the last one tried.
  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  // Appends all bytes; false when the system wrote fewer.
  bool Write(std::string_view bytes);
  void Close() { file_.Reset(); }

 private:
  OwnedHandle file_;
  std::filesystem::path path_;
};

}  // namespace platform
