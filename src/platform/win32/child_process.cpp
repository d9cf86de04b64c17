#include "platform/child_process.h"

#include <algorithm>
#include <cwctype>
#include <utility>

#include "platform/command_line.h"
#include "platform/unicode.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

bool SameVariableName(std::u16string_view a, std::u16string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char16_t x, char16_t y) { return std::towupper(x) == std::towupper(y); });
}

// A CREATE_UNICODE_ENVIRONMENT block: this process's variables with the overrides applied.
std::u16string EnvironmentBlock(const std::vector<ChildProcess::EnvironmentVariable>& overrides) {
  std::vector<std::u16string> wide_overrides;
  for (const auto& variable : overrides) wide_overrides.push_back(Utf8ToUtf16(variable.name));

  std::u16string block;
  const std::unique_ptr<wchar_t, decltype(&::FreeEnvironmentStringsW)> current(::GetEnvironmentStringsW(),
                                                                               &::FreeEnvironmentStringsW);
  for (const wchar_t* entry = current.get(); entry != nullptr && *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    const std::u16string_view text = win32::FromWide(entry);
    // Names such as "=C:" start with '='; search for the separator after the first character.
    const std::u16string_view name = text.substr(0, text.find(u'=', 1));
    const bool replaced = std::any_of(wide_overrides.begin(), wide_overrides.end(),
                                      [&](const std::u16string& o) { return SameVariableName(o, name); });
    if (!replaced) block.append(text).push_back(u'\0');
  }
  for (const auto& variable : overrides)
    block.append(Utf8ToUtf16(variable.name + "=" + variable.value)).push_back(u'\0');
  block.push_back(u'\0');
  return block;
}

}  // namespace

std::optional<ChildProcess> ChildProcess::Start(const std::filesystem::path& exe,
                                                const std::vector<std::string>& arguments,
                                                const std::vector<EnvironmentVariable>& environment,
                                                const std::filesystem::path& output,
                                                const std::filesystem::path& error_output) {
  std::vector<std::u16string> argv{std::u16string(reinterpret_cast<const char16_t*>(exe.c_str()))};
  for (const auto& argument : arguments) argv.push_back(Utf8ToUtf16(argument));
  std::u16string command_line = JoinCommandLine(argv);
  std::u16string block = EnvironmentBlock(environment);

  // A redirected stream goes to an inheritable file; the other keeps this process's handle.
  OwnedHandle output_file;
  OwnedHandle error_file;
  for (auto [path, file] : {std::pair{&output, &output_file}, std::pair{&error_output, &error_file}}) {
    if (path->empty()) continue;
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE handle = ::CreateFileW(path->c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    file->Reset(handle);
  }
  const bool redirected = output_file || error_file;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (redirected) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output_file ? output_file.Get() : ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = error_file ? error_file.Get() : ::GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(exe.c_str(), reinterpret_cast<wchar_t*>(command_line.data()), nullptr, nullptr,
                        redirected ? TRUE : FALSE, CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup,
                        &info)) {
    return std::nullopt;
  }
  ::CloseHandle(info.hThread);
  return ChildProcess(OwnedHandle(info.hProcess), info.dwProcessId);
}

ChildProcess::~ChildProcess() {
  if (process_ && !exit_code_) Kill();
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (exit_code_ || !process_) return exit_code_;
  const auto wait_ms = static_cast<DWORD>(std::clamp<std::int64_t>(timeout.count(), 0, INFINITE - 1));
  if (::WaitForSingleObject(process_.Get(), wait_ms) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!::GetExitCodeProcess(process_.Get(), &code)) return std::nullopt;
  exit_code_ = static_cast<int>(code);
  return exit_code_;
}

void ChildProcess::Kill() {
  if (exit_code_ || !process_) return;
  ::TerminateProcess(process_.Get(), 137);
  Wait(std::chrono::hours(1));
}

}  // namespace platform
