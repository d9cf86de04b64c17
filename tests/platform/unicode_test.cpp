#include "platform/unicode.h"

#include <gtest/gtest.h>

namespace {

TEST(Unicode, RoundTripsEveryPlane) {
  const std::string text = "ascii \xC3\xBC \xE2\x82\xAC \xF0\x9F\x98\x80";  // ü € 😀
  const std::u16string wide = platform::Utf8ToUtf16(text);
  EXPECT_EQ(wide, u"ascii \u00FC \u20AC \U0001F600");
  EXPECT_EQ(platform::Utf16ToUtf8(wide), text);
  EXPECT_EQ(platform::Utf8ToUtf16(""), u"");
}

TEST(Unicode, IllFormedInputBecomesReplacementCharacters) {
  EXPECT_EQ(platform::Utf8ToUtf16("a\xFF"
                                  "b"),
            u"a\uFFFDb");
  EXPECT_EQ(platform::Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");  // an overlong '/'
  EXPECT_EQ(platform::Utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
}

}  // namespace
