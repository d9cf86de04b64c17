// The process's own command line, and the quoting rules that turn an argument vector into one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The command line as 8-bit text, exactly as the process received it (system code page on Windows, the
// argument bytes joined with QuoteCommandLine's rules on Linux).
std::string CommandLineText();

// The wide argument vector, the program path first. Empty when the system cannot split the line.
std::vector<std::u16string> CommandLineArguments();

// Quotes one argument so that the system's standard splitting (CommandLineToArgvW) gives it back
// unchanged: arguments with blanks, tabs, line breaks or quotes, and the empty argument, are put in
// quotes, with backslashes doubled where they precede a quote.
template <typename Char>
std::basic_string<Char> QuoteCommandLineArgument(std::basic_string_view<Char> argument) {
  bool needs_quotes = argument.empty();
  for (Char c : argument) {
    if (c == Char(' ') || c == Char('\t') || c == Char('\n') || c == Char('\v') || c == Char('"')) {
      needs_quotes = true;
      break;
    }
  }
  if (!needs_quotes) return std::basic_string<Char>(argument);

  std::basic_string<Char> quoted(1, Char('"'));
  std::size_t backslashes = 0;
  for (Char c : argument) {
    if (c == Char('\\')) {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quote follows them; then each one must be escaped.
    quoted.append(c == Char('"') ? 2 * backslashes + 1 : backslashes, Char('\\'));
    quoted.push_back(c);
    backslashes = 0;
  }
  quoted.append(2 * backslashes, Char('\\'));  // the closing quote follows them
  quoted.push_back(Char('"'));
  return quoted;
}

template <typename Char>
std::basic_string<Char> JoinCommandLine(const std::vector<std::basic_string<Char>>& arguments) {
  std::basic_string<Char> line;
  for (const auto& argument : arguments) {
    if (!line.empty()) line.push_back(Char(' '));
    line += QuoteCommandLineArgument<Char>(argument);
  }
  return line;
}

}  // namespace platform
