// A private bus: one environment variable moves every named object of a process, and its registry store,
// away from the machine's default bus. Processes given the same folder meet as on the default bus;
// processes given different folders, or none, never meet. Parallel test runs and CI jobs use it.
//
// Linux: the namespace folders (docs/linux-objects.md) are made inside the folder instead of /dev/shm,
// and the registry store is its "registry" folder. The folder must be an absolute path to a folder the
// process's user owns (root also takes one of its login session's user), not writable by group or
// others unless sticky; a missing one is made 0700, with any missing folder above it.
// Windows: every kernel object name gains the private bus's tag after its namespace prefix, and the
// registry store is a key of HKEY_CURRENT_USER named by the same hash. A missing folder is made; a file
// in its place is refused.
//
// The variable is read once per process, on first use. Unset or empty: the default bus, with names,
// paths and bytes exactly as without it.
#pragma once

#include <string>
#include <string_view>

#include "platform/name_hash.h"
#include "platform/named_object.h"

namespace platform {

inline constexpr const char* kPrivateBusVariable = "SPINDREL_BUS_ROOT";

struct PrivateBus {
  std::string folder;   // the variable's value (UTF-8); empty on the default bus
  ErrorCode error = 0;  // not 0: the folder was refused, and every named object and registry key fails
  std::string problem;  // what is wrong with the folder, for the failure line
};

// Thread-safe; every call returns the same record.
const PrivateBus& PrivateBusOfThisProcess();

// 16 hexadecimal digits naming a private bus where its folder cannot (Windows object names and registry
// keys): the FNV-1a hash of the variable's bytes. A fixed length keeps every object name as far below
// the system's limit as on the default bus, and a path's backslashes out of it; two spellings of one
// folder are two buses, and every process of a job inherits one spelling.
inline std::string PrivateBusHash(std::string_view folder) {
  std::string hash;
  AppendHex(hash, Fnv1a64(folder), 16);
  return hash;
}

// A kernel object name on the private bus of the given hash: "Global\X" becomes
// "Global\spindrel-bus-<hash>-X", "Local\X" "Local\spindrel-bus-<hash>-X" and a bare "X"
// "spindrel-bus-<hash>-X", so every name keeps its namespace.
inline std::string PrivateObjectName(std::string_view name, std::string_view hash) {
  std::string full;
  for (const std::string_view prefix : {std::string_view("Global\\"), std::string_view("Local\\")}) {
    if (name.starts_with(prefix)) {
      full = prefix;
      name.remove_prefix(prefix.size());
      break;
    }
  }
  full += "spindrel-bus-";
  full += hash;
  full += '-';
  full += name;
  return full;
}

}  // namespace platform
