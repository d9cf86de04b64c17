#include "boot/cmdline/parser.h"

#include <gtest/gtest.h>

#include "platform/unicode.h"

namespace {

using Errors = std::vector<std::u16string>;

// The four options of the exit monitor, declared as it declares them.
class ExitOptions : public testing::Test {
 protected:
  ExitOptions() {
    options.add<int>(u"spe-src");
    options.add<int>(u"spe-dst");
    options.add<unsigned>(u"spe-dstatus");
    options.add<int>(u"process-type");
  }

  bool Parse(std::vector<std::u16string> arguments) {
    arguments.insert(arguments.begin(), u"spindrel.exe");
    return options.parse(arguments);
  }

  cmdline::parser options;
};

TEST_F(ExitOptions, AcceptsBothValueForms) {
  EXPECT_TRUE(Parse({u"--spe-src=12", u"--spe-dst", u"-5", u"--spe-dstatus", u"3221225477", u"--process-type=6"}));
  EXPECT_EQ(options.value<int>(u"spe-src"), 12);
  EXPECT_EQ(options.value<int>(u"spe-dst"), -5);
  EXPECT_EQ(options.value<unsigned>(u"spe-dstatus"), 3221225477u);
  EXPECT_EQ(options.value<int>(u"process-type"), 6);
  EXPECT_TRUE(options.errors().empty());
}

TEST_F(ExitOptions, MissingOptionsAreReportedInNameOrder) {
  EXPECT_FALSE(Parse({}));
  EXPECT_EQ(options.errors(), (Errors{u"need option: --process-type", u"need option: --spe-dst",
                                      u"need option: --spe-dstatus", u"need option: --spe-src"}));
  EXPECT_FALSE(options.given(u"spe-src"));
  EXPECT_EQ(options.value<int>(u"spe-src"), 0);  // the default
}

TEST_F(ExitOptions, ConversionFollowsStreamRules) {
  struct Case {
    std::u16string text;
    bool valid;
  };
  for (const Case& c : {Case{u"12", true}, Case{u" 12", true}, Case{u"+12", true}, Case{u"-2147483648", true},
                        Case{u"2147483647", true}, Case{u"2147483648", false}, Case{u"12 ", false}, Case{u"12x", false},
                        Case{u"abc", false}, Case{u"", false}, Case{u"0x10", false}}) {
    cmdline::parser fresh;
    fresh.add<int>(u"n");
    const std::u16string argument = u"--n=" + c.text;
    fresh.parse(std::vector<std::u16string>{u"p", argument});
    EXPECT_EQ(fresh.given(u"n"), c.valid) << platform::Utf16ToUtf8(c.text);
    if (!c.valid) {
      EXPECT_EQ(fresh.errors().front(), u"option value is invalid: --n=" + c.text);
    }
  }
}

TEST_F(ExitOptions, UnsignedRange) {
  Parse({u"--spe-dstatus", u"4294967295"});
  EXPECT_EQ(options.value<unsigned>(u"spe-dstatus"), 4294967295u);
  Parse({u"--spe-dstatus", u"4294967296"});
  EXPECT_EQ(options.errors().front(), u"option value is invalid: --spe-dstatus=4294967296");
}

TEST_F(ExitOptions, ValueProblems) {
  Parse({u"--spe-src="});
  EXPECT_EQ(options.errors().front(), u"option value is invalid: --spe-src=");
  EXPECT_FALSE(options.given(u"spe-src"));

  Parse({u"--spe-src"});
  EXPECT_EQ(options.errors().front(), u"option needs value: --spe-src");

  // A value is taken whatever it looks like, so the next option's name becomes a (bad) value.
  Parse({u"--spe-src", u"--spe-dst"});
  EXPECT_EQ(options.errors().front(), u"option value is invalid: --spe-src=--spe-dst");
  EXPECT_FALSE(options.given(u"spe-dst"));
}

TEST_F(ExitOptions, LaterValueWinsAndRejectedValueKeepsEarlierOne) {
  Parse({u"--spe-src", u"1", u"--spe-src=2"});
  EXPECT_EQ(options.value<int>(u"spe-src"), 2);
  Parse({u"--spe-src", u"3", u"--spe-src=bad"});
  EXPECT_EQ(options.value<int>(u"spe-src"), 3);
  EXPECT_TRUE(options.given(u"spe-src"));
}

TEST_F(ExitOptions, UnknownOptionsShortOptionsAndFreeArguments) {
  Parse({u"--nosuch=1", u"--nosuch", u"-x", u"-", u"foo", u"-ab"});
  const Errors& errors = options.errors();
  ASSERT_GE(errors.size(), 5u);
  EXPECT_EQ(errors[0], u"undefined option: --nosuch");
  EXPECT_EQ(errors[1], u"undefined option: --nosuch");
  EXPECT_EQ(errors[2], u"undefined short option: -x");
  EXPECT_EQ(errors[3], u"undefined short option: -a");
  EXPECT_EQ(errors[4], u"undefined short option: -b");
  EXPECT_EQ(options.free_args(), Errors{u"foo"});
}

TEST_F(ExitOptions, TypeAndNameQueries) {
  Parse({u"--spe-src=7"});
  EXPECT_FALSE(options.value<unsigned>(u"spe-src").has_value());  // declared as int
  EXPECT_FALSE(options.value<int>(u"nosuch").has_value());
  EXPECT_FALSE(options.given(u"nosuch"));
}

TEST(Parser, EmptyVectorIsAnError) {
  cmdline::parser options;
  EXPECT_FALSE(options.parse(std::vector<std::u16string>{}));
  EXPECT_EQ(options.errors(), Errors{u"argument number must be longer than 0"});
}

TEST(Parser, FirstDeclarationStays) {
  cmdline::parser options;
  options.add<int>(u"n", 0, u"", true, 5);
  options.add<unsigned>(u"n", 0, u"", false, 9);
  EXPECT_EQ(options.value<int>(u"n"), 5);
  EXPECT_FALSE(options.value<unsigned>(u"n").has_value());
}

TEST(Parser, ShortNames) {
  cmdline::parser options;
  options.add<int>(u"count", u'c', u"", false);
  options.add<int>(u"level", u'l', u"", false);
  EXPECT_TRUE(options.parse(std::vector<std::u16string>{u"p", u"-c", u"4"}));
  EXPECT_EQ(options.value<int>(u"count"), 4);

  // Only the last short name of a group takes a value; the others have none to take.
  EXPECT_FALSE(options.parse(std::vector<std::u16string>{u"p", u"-lc", u"5"}));
  EXPECT_EQ(options.errors(), Errors{u"option needs value: --level"});
  EXPECT_EQ(options.value<int>(u"count"), 5);

  // The last one without a following argument is set without a value.
  EXPECT_FALSE(options.parse(std::vector<std::u16string>{u"p", u"-c"}));
  EXPECT_EQ(options.errors(), Errors{u"option needs value: --count"});
}

TEST(Parser, SharedShortNameStopsBeforeAnyArgument) {
  cmdline::parser options;
  options.add<int>(u"alpha", u'a');
  options.add<int>(u"apple", u'a');
  EXPECT_FALSE(options.parse(std::vector<std::u16string>{u"p", u"--nosuch"}));
  EXPECT_EQ(options.errors(), Errors{u"short option 'a' is ambiguous"});
}

}  // namespace
