#include "platform/command_line.h"

#include <fstream>
#include <iterator>

#include "platform/unicode.h"

namespace platform {
namespace {

// The kernel keeps the argument vector the process was started with, NUL-separated.
std::vector<std::string> OwnArgumentVector() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string raw(std::istreambuf_iterator<char>(in), {});
  std::vector<std::string> arguments;
  for (std::size_t begin = 0; begin < raw.size();) {
    const std::size_t end = raw.find('\0', begin);
    if (end == std::string::npos) {
      arguments.push_back(raw.substr(begin));
      break;
    }
    arguments.push_back(raw.substr(begin, end - begin));
    begin = end + 1;
  }
  return arguments;
}

}  // namespace

std::string CommandLineText() { return JoinCommandLine(OwnArgumentVector()); }

std::vector<std::u16string> CommandLineArguments() {
  std::vector<std::u16string> wide;
  for (const auto& argument : OwnArgumentVector()) wide.push_back(Utf8ToUtf16(argument));
  return wide;
}

}  // namespace platform
