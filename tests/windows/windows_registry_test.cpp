// WindowsRegistry against Wine's advapi32 registry, under a scratch key of
// HKEY_LOCAL_MACHINE that each test makes and removes.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/windows/windows_registry.h"

namespace turnpike {
namespace {

class WindowsRegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = "SOFTWARE\\TurnpikeTests\\" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(registry_.CreateKey(path_.c_str(), key_.out()));
  }
  // Each test runs in a process of its own, and ctest runs them side by
  // side: each keeps to the key named after its process.
  void TearDown() override {
    key_.Close();
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str());
  }

  void SetString(const char* name, const std::string& text, RegistryType type = RegistryType::Sz) {
    ASSERT_TRUE(registry_.SetValue(key_.get(), name, type, text.c_str(),
                                   static_cast<std::uint32_t>(text.size() + 1)));
  }

  WindowsRegistry registry_;
  std::string path_;
  ScopedRegistryKey key_{registry_};
};

TEST_F(WindowsRegistryTest, QueriesTypeAndSizeThenData) {
  SetString("ServerURL", "https://cas.example.org/cas");
  SetString("Expand", "%SystemRoot%\\x", RegistryType::ExpandSz);
  const std::uint32_t minutes = 30;
  ASSERT_TRUE(registry_.SetValue(key_.get(), "SessionTimeout", RegistryType::Dword, &minutes, 4));

  ScopedRegistryKey read(registry_);
  ASSERT_TRUE(registry_.OpenKey(path_.c_str(), RegistryAccessMode::QueryValue, read.out()));
  struct Row { const char* name; RegistryType type; std::string data; };
  for (const Row& row : {Row{"ServerURL", RegistryType::Sz, "https://cas.example.org/cas"},
                         Row{"Expand", RegistryType::ExpandSz, "%SystemRoot%\\x"},
                         Row{"SessionTimeout", RegistryType::Dword, std::string("\x1e\0\0\0", 4)}}) {
    RegistryType type = RegistryType::None;
    std::uint32_t size = 0;
    ASSERT_TRUE(registry_.QueryValue(read.get(), row.name, &type, nullptr, &size)) << row.name;
    EXPECT_EQ(type, row.type) << row.name;
    // ANSI sizes may be reported generously (Windows converts from UTF-16),
    // never short: the loader allocates what it is told.
    ASSERT_GE(size, row.data.size() + (row.type == RegistryType::Dword ? 0 : 1)) << row.name;
    std::vector<char> data(size);
    ASSERT_TRUE(registry_.QueryValue(read.get(), row.name, nullptr, data.data(), &size));
    EXPECT_EQ(std::string(data.data(), row.type == RegistryType::Dword ? 4 : std::strlen(data.data())),
              row.data);
  }
}

TEST_F(WindowsRegistryTest, MissingThingsAndShortBuffersFail) {
  SetString("LoginPath", "login");
  RegistryType type;
  std::uint32_t size = 0;
  EXPECT_FALSE(registry_.QueryValue(key_.get(), "ValidationPath", &type, nullptr, &size));
  char small[3];
  size = sizeof small;
  EXPECT_FALSE(registry_.QueryValue(key_.get(), "LoginPath", &type, small, &size));
  ScopedRegistryKey missing(registry_);
  EXPECT_FALSE(registry_.OpenKey((path_ + "\\Nowhere").c_str(), RegistryAccessMode::Read,
                                 missing.out()));
}

TEST_F(WindowsRegistryTest, PathsAndNamesIgnoreLetterCase) {
  SetString("AuthHeader", "CASUser");
  std::string upper = path_;
  for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  ScopedRegistryKey read(registry_);
  ASSERT_TRUE(registry_.OpenKey(upper.c_str(), RegistryAccessMode::QueryValue, read.out()));
  std::uint32_t size = 0;
  EXPECT_TRUE(registry_.QueryValue(read.get(), "authheader", nullptr, nullptr, &size));
}

TEST_F(WindowsRegistryTest, EnumeratesInOrderWithTheNameCapacityAsLimit) {
  // Windows enumerates in the order of creation, Wine in the order of the
  // names; these names make both the same.
  SetString("a-first", "/secure/");
  SetString("b-second", "/admin/");
  SetString(("c" + std::string(998, 'n')).c_str(), "/longest-name-that-fits/");
  SetString(("d" + std::string(999, 'm')).c_str(), "/name-too-long/");
  SetString("e-after", "/never-reached/");

  std::vector<std::string> seen;
  for (std::uint32_t index = 0;; ++index) {
    char name[1000];
    std::uint32_t capacity = sizeof name;
    RegistryType type;
    std::uint32_t size = 0;
    if (!registry_.EnumValue(key_.get(), index, name, &capacity, &type, nullptr, &size)) break;
    EXPECT_EQ(capacity, std::strlen(name));
    std::vector<char> data(size);
    capacity = sizeof name;
    ASSERT_TRUE(registry_.EnumValue(key_.get(), index, name, &capacity, &type, data.data(), &size));
    seen.push_back(data.data());
  }
  // The 1000-character name does not fit in 1000 characters with its NUL:
  // the enumeration ends there, as the loader expects.
  EXPECT_EQ(seen, (std::vector<std::string>{"/secure/", "/admin/", "/longest-name-that-fits/"}));
}

TEST_F(WindowsRegistryTest, CreateKeyMakesTheWholePathAndOpensAnExistingOne) {
  const std::string deep = path_ + "\\EventLog\\Application\\Turnpike";
  {
    ScopedRegistryKey created(registry_);
    ASSERT_TRUE(registry_.CreateKey(deep.c_str(), created.out()));
    const std::uint32_t types = 7;
    ASSERT_TRUE(registry_.SetValue(created.get(), "TypesSupported", RegistryType::Dword, &types, 4));
  }
  ScopedRegistryKey again(registry_);
  ASSERT_TRUE(registry_.CreateKey(deep.c_str(), again.out()));
  std::uint32_t types = 0;
  std::uint32_t size = sizeof types;
  ASSERT_TRUE(registry_.QueryValue(again.get(), "TypesSupported", nullptr, &types, &size));
  EXPECT_EQ(types, 7u);
}

}  // namespace
}  // namespace turnpike
