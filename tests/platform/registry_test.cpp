#include "platform/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/util/registry_sandbox.h"
#include "platform/unicode.h"
#include "support/test_support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

using platform::RegistryAccess;
using platform::RegistryKey;
using platform::RegistryRoot;
using platform::RegistryStatus;

std::vector<std::byte> Bytes(std::string_view text) {
  const auto view = std::as_bytes(std::span(text.data(), text.size()));
  return {view.begin(), view.end()};
}

struct Value {
  RegistryStatus status = RegistryStatus::kFailed;
  std::uint32_t type = 0;
  std::vector<std::byte> bytes;
};

Value Read(const RegistryKey& key, std::u16string_view name) {
  Value value;
  std::uint32_t size = 0;
  value.status = key.QueryValue(name, value.type, size);
  if (value.status != RegistryStatus::kOk) return value;
  value.bytes.resize(size);
  value.status = key.ReadValue(name, value.bytes, value.type, size);
  value.bytes.resize(std::min<std::size_t>(size, value.bytes.size()));
  return value;
}

class RegistryTest : public testing::Test {
 protected:
  RegistryKey CreateKey(std::u16string_view below = u"") const {
    RegistryKey key;
    std::u16string path = sandbox.SubKey();
    if (!below.empty()) path.append(u"\\").append(below);
    EXPECT_EQ(key.Create(RegistryRoot::kCurrentUser, path), RegistryStatus::kOk);
    return key;
  }

  test_support::RegistrySandbox sandbox;
};

TEST_F(RegistryTest, ValuesKeepTheirTypeAndRawBytes) {
  RegistryKey key = CreateKey();
  const std::vector<std::pair<std::uint32_t, std::string>> cases{
      {platform::kRegDword, std::string("\x2A\x00\x00\x00", 4)},
      {platform::kRegMultiSz, std::string("a\0\0\0\0\0", 6)},
      {platform::kRegSz, std::string("a\0b", 3)},  // odd size, no terminator: stored as given
      {platform::kRegBinary, std::string()},
      {12345, std::string("\xFF")},
  };
  for (const auto& [type, bytes] : cases) {
    SCOPED_TRACE(type);
    ASSERT_EQ(key.SetValue(u"v", type, Bytes(bytes)), RegistryStatus::kOk);
    const Value read = Read(key, u"v");
    EXPECT_EQ(read.status, RegistryStatus::kOk);
    EXPECT_EQ(read.type, type);
    EXPECT_EQ(read.bytes, Bytes(bytes));
  }
}

TEST_F(RegistryTest, ReadingIntoASmallBufferAsksForMore) {
  RegistryKey key = CreateKey();
  ASSERT_EQ(key.SetValue(u"v", platform::kRegBinary, Bytes("12345")), RegistryStatus::kOk);
  std::vector<std::byte> buffer(4);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(key.ReadValue(u"v", buffer, type, size), RegistryStatus::kMoreData);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(key.ReadValue(u"v", {}, type, size), RegistryStatus::kMoreData);
  EXPECT_EQ(key.QueryValue(u"missing", type, size), RegistryStatus::kNotFound);
  EXPECT_EQ(key.ReadValue(u"missing", buffer, type, size), RegistryStatus::kNotFound);
}

TEST_F(RegistryTest, NamesIgnoreAsciiCaseAndMayHoldAnyCharacter) {
  RegistryKey key = CreateKey(u"Sub Key/With.Dots");
  ASSERT_EQ(key.SetValue(u"Value", platform::kRegBinary, Bytes("1")), RegistryStatus::kOk);
  EXPECT_EQ(Read(key, u"VALUE").bytes, Bytes("1"));

  // Names that a file system would misread stay apart from each other.
  const std::vector<std::u16string> names{u"",
                                          u".",
                                          u"..",
                                          u"a/b",
                                          u"a\\b",
                                          u"%0041",
                                          u"\u00FC\U0001F600",
                                          std::u16string(1000, u'x'),
                                          std::u16string(999, u'x') + u"y"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(key.SetValue(names[i], platform::kRegBinary, Bytes(std::to_string(i))), RegistryStatus::kOk) << i;
  }
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(Read(key, names[i]).bytes, Bytes(std::to_string(i))) << i;

  RegistryKey same;
  EXPECT_EQ(same.Open(RegistryRoot::kCurrentUser, sandbox.SubKey() + u"\\SUB KEY/with.dots", RegistryAccess::kRead),
            RegistryStatus::kOk);
  EXPECT_EQ(Read(same, u"value").bytes, Bytes("1"));
}

TEST_F(RegistryTest, KeysAreCreatedWithTheirParentsAndDeletedWithEverythingBelow) {
  const std::u16string parent = sandbox.SubKey() + u"\\a";
  const std::u16string child = parent + u"\\b";
  RegistryKey key;
  EXPECT_EQ(key.Open(RegistryRoot::kCurrentUser, child, RegistryAccess::kRead), RegistryStatus::kNotFound);
  EXPECT_FALSE(key.IsOpen());
  ASSERT_EQ(key.Create(RegistryRoot::kCurrentUser, child), RegistryStatus::kOk);
  ASSERT_EQ(key.SetValue(u"v", platform::kRegBinary, Bytes("x")), RegistryStatus::kOk);

  RegistryKey reader;
  ASSERT_EQ(reader.Open(RegistryRoot::kCurrentUser, child, RegistryAccess::kRead), RegistryStatus::kOk);
  EXPECT_NE(reader.SetValue(u"v", platform::kRegBinary, Bytes("y")), RegistryStatus::kOk);
  EXPECT_NE(reader.DeleteValue(u"v"), RegistryStatus::kOk);
  EXPECT_EQ(Read(reader, u"v").bytes, Bytes("x"));

  EXPECT_EQ(key.DeleteValue(u"v"), RegistryStatus::kOk);
  EXPECT_EQ(key.DeleteValue(u"v"), RegistryStatus::kNotFound);
  ASSERT_EQ(key.SetValue(u"v", platform::kRegBinary, Bytes("x")), RegistryStatus::kOk);
  key.Close();
  reader.Close();
  EXPECT_EQ(RegistryKey::DeleteTree(RegistryRoot::kCurrentUser, parent), RegistryStatus::kOk);
  EXPECT_EQ(key.Open(RegistryRoot::kCurrentUser, child, RegistryAccess::kRead), RegistryStatus::kNotFound);
  EXPECT_EQ(key.Open(RegistryRoot::kCurrentUser, parent, RegistryAccess::kRead), RegistryStatus::kNotFound);
  EXPECT_EQ(RegistryKey::DeleteTree(RegistryRoot::kCurrentUser, parent), RegistryStatus::kNotFound);
  EXPECT_EQ(RegistryKey::DeleteTree(RegistryRoot::kCurrentUser, u""), RegistryStatus::kFailed);
}

// Writers replace a value whole, and a writer killed mid-way leaves a whole value behind.
constexpr std::size_t kPayloadSize = 32 * 1024;

const bool kWriterRole = test_support::RegisterChildRole("registry-writer", [](const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  RegistryKey key;
  if (key.Create(RegistryRoot::kCurrentUser, platform::Utf8ToUtf16(args[0])) != RegistryStatus::kOk) return 3;
  const std::vector<std::byte> payload(kPayloadSize, static_cast<std::byte>(args[1].at(0)));
  for (;;) {  // until the test kills it
    if (key.SetValue(u"shared", platform::kRegBinary, payload) != RegistryStatus::kOk) return 4;
  }
});

TEST_F(RegistryTest, ConcurrentWritersNeverLeaveHalfAValue) {
  const std::string sub_key = platform::Utf16ToUtf8(sandbox.SubKey());
  auto first = test_support::StartChild("registry-writer", {sub_key, "A"}, sandbox.Environment());
  auto second = test_support::StartChild("registry-writer", {sub_key, "B"}, sandbox.Environment());
  ASSERT_TRUE(first && second);

  const auto whole = [](const Value& value) {
    if (value.status != RegistryStatus::kOk) return value.status == RegistryStatus::kNotFound;
    const std::byte fill = value.bytes.empty() ? std::byte{0} : value.bytes.front();
    return value.type == platform::kRegBinary && value.bytes.size() == kPayloadSize &&
           (fill == std::byte{'A'} || fill == std::byte{'B'}) &&
           std::all_of(value.bytes.begin(), value.bytes.end(), [&](std::byte b) { return b == fill; });
  };

  // Read until both writers have been seen several times; every read must be one writer's whole value.
  int seen_a = 0;
  int seen_b = 0;
  const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
  while ((seen_a < 5 || seen_b < 5) && std::chrono::steady_clock::now() < deadline) {
    RegistryKey key;
    if (key.Open(RegistryRoot::kCurrentUser, sandbox.SubKey(), RegistryAccess::kRead) != RegistryStatus::kOk) continue;
    const Value value = Read(key, u"shared");
    ASSERT_TRUE(whole(value));
    if (value.status == RegistryStatus::kOk) (value.bytes.front() == std::byte{'A'} ? seen_a : seen_b)++;
  }
  EXPECT_GE(seen_a, 5);
  EXPECT_GE(seen_b, 5);
  EXPECT_FALSE(first->Wait(std::chrono::milliseconds(0))) << "writer A failed";
  EXPECT_FALSE(second->Wait(std::chrono::milliseconds(0))) << "writer B failed";

  first->Kill();
  second->Kill();
  RegistryKey key;
  ASSERT_EQ(key.Open(RegistryRoot::kCurrentUser, sandbox.SubKey(), RegistryAccess::kRead), RegistryStatus::kOk);
  const Value last = Read(key, u"shared");
  EXPECT_EQ(last.status, RegistryStatus::kOk);
  EXPECT_TRUE(whole(last));
}

#if !defined(_WIN32)
// The files of the Linux store itself, in a folder that does not exist yet.
class RegistryStoreOnLinux : public testing::Test {
 protected:
  RegistryStoreOnLinux() { platform::UseRegistryStore(Store()); }
  ~RegistryStoreOnLinux() override { platform::UseRegistryStore({}); }
  [[nodiscard]] std::filesystem::path Store() const { return temp.Path() / "new" / "store"; }
  [[nodiscard]] std::filesystem::path KeyFolder() const { return Store() / "HKEY_CURRENT_USER" / "k.stats"; }

  test_support::TempDir temp;
};

TEST_F(RegistryStoreOnLinux, ValuesAreBoundedAndAnOversizedFileReadsAsAbsentUntilReplaced) {
  RegistryKey key;
  ASSERT_EQ(key.Create(RegistryRoot::kCurrentUser, u"Stats"), RegistryStatus::kOk);
  ASSERT_EQ(key.SetValue(u"big", platform::kRegSz, Bytes("small")), RegistryStatus::kOk);
  EXPECT_NE(key.SetValue(u"big", platform::kRegBinary, std::vector<std::byte>(1 << 20)), RegistryStatus::kOk);
  EXPECT_EQ(Read(key, u"big").bytes, Bytes("small"));
  // Planted with a valid header, then grown sparse: just past the bound, and far past anything memory holds.
  const std::filesystem::path file = KeyFolder() / "v.big";
  test_support::WriteFile(file, std::string("SRV1\x03\0\0\0", 8));
  for (const std::uintmax_t size : {(std::uintmax_t{1} << 20) + 1, std::uintmax_t{1} << 36}) {
    SCOPED_TRACE(size);
    std::filesystem::resize_file(file, size);
    std::uint32_t type = 0;
    std::uint32_t found_size = 0;
    EXPECT_EQ(key.QueryValue(u"big", type, found_size), RegistryStatus::kNotFound);
    std::vector<std::byte> buffer(16);
    EXPECT_EQ(key.ReadValue(u"big", buffer, type, found_size), RegistryStatus::kNotFound);
  }
  ASSERT_EQ(key.SetValue(u"big", platform::kRegSz, Bytes("again")), RegistryStatus::kOk);
  EXPECT_EQ(Read(key, u"big").bytes, Bytes("again"));
}

TEST_F(RegistryStoreOnLinux, FoldersAndFilesAreTheUsersOwnWhateverTheUmask) {
  const mode_t saved = ::umask(0);
  RegistryKey key;
  const RegistryStatus created = key.Create(RegistryRoot::kCurrentUser, u"Stats\\Deeper");
  const RegistryStatus written = key.SetValue(u"v", platform::kRegSz, Bytes("x"));
  ::umask(saved);
  ASSERT_EQ(created, RegistryStatus::kOk);
  ASSERT_EQ(written, RegistryStatus::kOk);
  using std::filesystem::perms;
  for (const auto& folder :
       {Store().parent_path(), Store(), Store() / "HKEY_CURRENT_USER", KeyFolder(), KeyFolder() / "k.deeper"}) {
    EXPECT_EQ(std::filesystem::status(folder).permissions(), perms::owner_all) << folder;
  }
  EXPECT_EQ(std::filesystem::status(KeyFolder() / "k.deeper" / "v.v").permissions(),
            perms::owner_read | perms::owner_write);
}
#endif

}  // namespace
