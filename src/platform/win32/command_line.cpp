#include "platform/command_line.h"

#include <memory>

#include "platform/win32/windows_api.h"

#include <shellapi.h>  // needs <windows.h> first

namespace platform {

std::string CommandLineText() {
  const char* line = ::GetCommandLineA();
  return line == nullptr ? std::string() : std::string(line);
}

std::vector<std::u16string> CommandLineArguments() {
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&::LocalFree)> argv(::CommandLineToArgvW(::GetCommandLineW(), &count),
                                                             &::LocalFree);
  std::vector<std::u16string> arguments;
  if (!argv) return arguments;
  for (int i = 0; i < count; ++i) arguments.emplace_back(win32::FromWide(argv.get()[i]));
  return arguments;
}

}  // namespace platform
