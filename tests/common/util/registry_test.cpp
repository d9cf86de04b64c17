#include "common/util/registry.h"

#include <gtest/gtest.h>

#include "common/util/product_paths.h"
#include "common/util/registry_sandbox.h"

namespace {

using platform::RegistryAccess;
using platform::RegistryKey;
using platform::RegistryRoot;
using platform::RegistryStatus;

constexpr RegistryRoot kUser = RegistryRoot::kCurrentUser;
constexpr std::u16string_view kDefault = u"<default>";

class RegistryHelpersTest : public testing::Test {
 protected:
  std::u16string Read(std::u16string_view name) const { return ReadRegString(kUser, sandbox.SubKey(), name, kDefault); }

  // The raw type and bytes of a value, or kRegNone when it is missing.
  std::pair<std::uint32_t, std::u16string> Raw(std::u16string_view sub_key, std::u16string_view name) const {
    RegistryKey key;
    std::uint32_t type = platform::kRegNone;
    std::uint32_t size = 0;
    if (key.Open(kUser, sub_key, RegistryAccess::kRead) != RegistryStatus::kOk ||
        key.QueryValue(name, type, size) != RegistryStatus::kOk) {
      return {platform::kRegNone, u""};
    }
    std::u16string units(size / 2, u'?');
    key.ReadValue(name, std::as_writable_bytes(std::span(units.data(), units.size())), type, size);
    return {type, units};
  }

  test_support::RegistrySandbox sandbox;
};

TEST_F(RegistryHelpersTest, ReadsOnlyWholeTerminatedStrings) {
  using namespace std::string_view_literals;
  sandbox.PlantText(u"sz", platform::kRegSz, u"text\0"sv);
  sandbox.PlantText(u"expand", platform::kRegExpandSz, u"%TEMP%\\x\0"sv);
  sandbox.PlantText(u"only terminator", platform::kRegSz, u"\0"sv);
  sandbox.PlantText(u"embedded zero", platform::kRegSz, u"ab\0cd\0"sv);
  sandbox.PlantText(u"empty", platform::kRegSz, u""sv);
  // Windows itself adds a missing terminator when the code unit after the data is 0, so the planted
  // data is followed by another character.
  sandbox.PlantText(u"unterminated", platform::kRegSz, u"textX"sv.substr(0, 4));
  sandbox.PlantText(u"multi", platform::kRegMultiSz, u"a\0b\0\0"sv);
  sandbox.PlantText(u"binary text", platform::kRegBinary, u"text\0"sv);
  const char odd[] = {'a', 0, 0, 0, 'b'};  // a terminated text plus one stray byte
  sandbox.Plant(u"odd", platform::kRegSz, std::as_bytes(std::span(odd)));
  sandbox.Plant(u"one byte", platform::kRegSz, std::as_bytes(std::span(odd, 1)));
  const std::uint32_t number = 7;
  sandbox.Plant(u"dword", platform::kRegDword, std::as_bytes(std::span(&number, 1)));

  EXPECT_EQ(Read(u"sz"), u"text");
  EXPECT_EQ(Read(u"expand"), u"%TEMP%\\x");  // not expanded
  EXPECT_EQ(Read(u"only terminator"), u"");
  EXPECT_EQ(Read(u"embedded zero"), u"ab");
  for (const auto* name :
       {u"empty", u"unterminated", u"multi", u"binary text", u"odd", u"one byte", u"dword", u"missing"}) {
    EXPECT_EQ(Read(name), kDefault) << platform::Utf16ToUtf8(name);
  }
  EXPECT_EQ(ReadRegString(kUser, sandbox.SubKey() + u"\\missing key", u"sz", kDefault), kDefault);
}

TEST_F(RegistryHelpersTest, WritesTerminatedStringsAndCreatesTheKey) {
  using namespace std::string_view_literals;
  const std::u16string nested = sandbox.SubKey() + u"\\a\\b";
  ASSERT_TRUE(WriteRegString(kUser, nested, u"name", u"\u00FC\U0001F600"));
  EXPECT_EQ(Raw(nested, u"name"), std::make_pair(platform::kRegSz, std::u16string(u"\u00FC\U0001F600\0"sv)));
  EXPECT_EQ(ReadRegString(kUser, nested, u"name", kDefault), u"\u00FC\U0001F600");

  // Only the text before an embedded 0 is stored; an existing value is replaced.
  ASSERT_TRUE(WriteRegString(kUser, nested, u"name", u"ab\0cd"sv));
  EXPECT_EQ(Raw(nested, u"name"), std::make_pair(platform::kRegSz, std::u16string(u"ab\0"sv)));
  ASSERT_TRUE(WriteRegString(kUser, nested, u"name", u""));
  EXPECT_EQ(ReadRegString(kUser, nested, u"name", kDefault), u"");
}

TEST_F(RegistryHelpersTest, EmptyNameAndDataWriteNothingAndNullDataFails) {
  EXPECT_TRUE(WriteRegString(kUser, sandbox.SubKey(), u"", u""));
  EXPECT_EQ(Raw(sandbox.SubKey(), u"").first, platform::kRegNone);
  EXPECT_FALSE(WriteRegString(kUser, sandbox.SubKey(), u"name", std::u16string_view()));
  EXPECT_EQ(Read(u"name"), kDefault);
}

TEST_F(RegistryHelpersTest, AnEmptySubKeyNamesTheRootKey) {
  // The root is shared with every other test process, so the value gets a name of this process's own.
  const std::u16string name = sandbox.SubKey() + u"-root-value";
  ASSERT_TRUE(WriteRegString(kUser, u"", name, u"at the root"));
  EXPECT_EQ(ReadRegString(kUser, u"", name, kDefault), u"at the root");
  EXPECT_EQ(Raw(u"", name).first, platform::kRegSz);
  EXPECT_TRUE(DeleteRegValues(u"", {name}));
  EXPECT_EQ(ReadRegString(kUser, u"", name, kDefault), kDefault);
}

TEST_F(RegistryHelpersTest, DeletingWhatIsNotThereSucceeds) {
  EXPECT_TRUE(DeleteRegValues(sandbox.SubKey() + u"\\no such key", {u"a", u"b"}));
  ASSERT_TRUE(WriteRegString(kUser, sandbox.SubKey(), u"a", u"1"));
  ASSERT_TRUE(WriteRegString(kUser, sandbox.SubKey(), u"keep", u"2"));
  EXPECT_TRUE(DeleteRegValues(sandbox.SubKey(), {u"missing", u"a", u"a"}));
  EXPECT_EQ(Read(u"a"), kDefault);
  EXPECT_EQ(Read(u"keep"), u"2");
}

TEST(ProductPaths, TheProductKeyIsTheRootOfTheUsersKeys) {
  EXPECT_EQ(ProductPaths::Instance().KeyFor(0), u"");
  EXPECT_EQ(ProductPaths::Instance().KeyFor(0), u"");
  EXPECT_EQ(&ProductPaths::Instance(), &ProductPaths::Instance());
}

}  // namespace
