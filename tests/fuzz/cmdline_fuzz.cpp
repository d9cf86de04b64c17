// The command-line parser over arbitrary argument vectors. The input is UTF-16 code units (two bytes
// each, little-endian); a zero unit ends an argument. The parser must neither throw nor crash, and what
// it reports must be consistent with what it stored.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "boot/cmdline/parser.h"

namespace {

std::vector<std::u16string> SplitArguments(const std::uint8_t* data, std::size_t size) {
  std::vector<std::u16string> arguments{u"spindrel"};
  std::u16string current;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) {
      arguments.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(unit);
    }
  }
  if (!current.empty()) arguments.push_back(std::move(current));
  return arguments;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::u16string> arguments = SplitArguments(data, size);
  // The exit monitor's own options, and options of the other kinds the parser offers, with short names.
  cmdline::parser options;
  options.add<int>(u"spe-src");
  options.add<int>(u"spe-dst");
  options.add<unsigned>(u"spe-dstatus");
  options.add<int>(u"process-type");
  options.add<bool>(u"verbose", u'v', u"", false, false);
  options.add<double>(u"ratio", u'r', u"", false, 1.5);
  options.add<long long>(u"count", u'c', u"", false, -1);

  const bool parsed = options.parse(arguments);
  if (parsed != options.errors().empty()) Fail("parse result disagrees with the error list");
  for (const auto* name : {u"spe-src", u"spe-dst", u"process-type"}) {
    if (!options.value<int>(name)) Fail("a declared option has no value");
    if (options.value<unsigned>(name)) Fail("an option answered for another type");
  }
  if (!options.value<unsigned>(u"spe-dstatus") || !options.value<bool>(u"verbose") ||
      !options.value<double>(u"ratio") || !options.value<long long>(u"count")) {
    Fail("a declared option has no value");
  }
  if (options.given(u"undeclared") || options.value<int>(u"undeclared")) Fail("an undeclared option answered");
  if (parsed) {
    for (const auto* name : {u"spe-src", u"spe-dst", u"spe-dstatus", u"process-type"}) {
      if (!options.given(name)) Fail("parse succeeded without a required option");
    }
  }
  if (options.free_args().size() >= arguments.size()) Fail("more free arguments than arguments");
  return 0;
}
