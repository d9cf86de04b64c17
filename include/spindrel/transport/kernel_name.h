// The namespaces of kernel object names. A name with the global prefix is seen by every session of the
// machine, one with the local prefix only by the caller's session; a few objects carry no prefix at all,
// as their first programs named them. Every name the transport and the bus build starts here.
#pragma once

#include <string>
#include <string_view>

namespace ipc::layout {

inline constexpr std::string_view global_prefix = "Global\\";
inline constexpr std::string_view local_prefix = "Local\\";

inline std::string kernel_name(bool global, std::string_view tag, std::string_view name) {
  std::string full(global ? global_prefix : local_prefix);
  full += tag;
  full += name;
  return full;
}

}  // namespace ipc::layout
