// A private corner of HKEY_CURRENT_USER for one test: a sub-key named after this process, deleted with
// everything below it afterwards. On Linux the whole store is moved to a temporary folder as well, so tests never
// touch the user's own; under Wine every test process shares one HKEY_CURRENT_USER, hence the sub-key.
#pragma once

#include <atomic>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "support/test_support.h"

namespace test_support {

class RegistrySandbox {
 public:
  RegistrySandbox() {
    static std::atomic<int> counter{0};
    sub_key_ = platform::Utf8ToUtf16("SpindrelTest-" + std::to_string(platform::CurrentProcessId()) + "-" +
                                     std::to_string(counter++));
    platform::UseRegistryStore(temp_.Path());
  }
  ~RegistrySandbox() {
    platform::RegistryKey::DeleteTree(platform::RegistryRoot::kCurrentUser, sub_key_);
    platform::UseRegistryStore({});
  }
  RegistrySandbox(const RegistrySandbox&) = delete;
  RegistrySandbox& operator=(const RegistrySandbox&) = delete;

  [[nodiscard]] const std::u16string& SubKey() const { return sub_key_; }

  // Points a child process at the same store.
  [[nodiscard]] std::vector<platform::ChildProcess::EnvironmentVariable> Environment() const {
    const auto path = temp_.Path().u8string();
    return {{"SPINDREL_REGISTRY_DIR", std::string(path.begin(), path.end())}};
  }

  // Stores raw bytes of any type under the sandbox key.
  void Plant(std::u16string_view name, std::uint32_t type, std::span<const std::byte> data) const {
    platform::RegistryKey key;
    ASSERT_EQ(key.Create(platform::RegistryRoot::kCurrentUser, sub_key_), platform::RegistryStatus::kOk);
    ASSERT_EQ(key.SetValue(name, type, data), platform::RegistryStatus::kOk);
  }
  // The same for UTF-16 text, stored exactly as given (no terminator added).
  void PlantText(std::u16string_view name, std::uint32_t type, std::u16string_view units) const {
    Plant(name, type, std::as_bytes(std::span(units.data(), units.size())));
  }

 private:
  TempDir temp_;
  std::u16string sub_key_;
};

}  // namespace test_support
