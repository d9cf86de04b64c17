// Another process cutting short a file behind our mappings, as an attacker on Linux can: truncating it
// or punching a hole in it. Linux only.
#pragma once

#include <string>

namespace test_support {

enum class Cut { kTruncate, kPunchHole };

// Runs a child process that truncates the file at path to nothing, or punches a hole over all of it
// but its first page. True when the child did it.
bool CutFile(const std::string& path, Cut how);

// The file behind the named object "Global\<name>" or "Local\<name>", for a name made only of letters,
// digits, '_' and '-' (docs/linux-objects.md).
std::string ObjectFile(const std::string& name, bool global);

}  // namespace test_support
