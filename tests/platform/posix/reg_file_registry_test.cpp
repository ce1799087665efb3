#include "platform/posix/reg_file_registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/settings_loader.h"
#include "eventlog/event_reporter.h"
#include "platform/memory/recording_event_log.h"

namespace turnpike {
namespace {

constexpr const char* kSource = "t.reg";

// Printable ASCII as is, every other byte as \xNN, so that expectations show
// terminators and binary data exactly.
std::string Escaped(const std::string& data) {
  std::string out;
  for (char c : data) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    }
  }
  return out;
}

// A key's values in enumeration order as "name=type:data", read through
// EnumValue the way the settings loader reads the paths.
std::string Dump(RegistryAccess& registry, const char* path) {
  ScopedRegistryKey key(registry);
  if (!registry.OpenKey(path, RegistryAccessMode::Read, key.out())) return "<no key>";
  std::string out;
  char name[kValueNameCapacity];
  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t capacity = kValueNameCapacity;
    RegistryType type = RegistryType::None;
    std::uint32_t size = 0;
    if (!registry.EnumValue(key.get(), index, name, &capacity, &type, nullptr, &size)) break;
    std::string data(size, '\0');
    capacity = kValueNameCapacity;
    EXPECT_TRUE(registry.EnumValue(key.get(), index, name, &capacity, nullptr, data.data(), &size));
    if (!out.empty()) out += ' ';
    out += std::string(name) + '=' + std::to_string(static_cast<std::uint32_t>(type)) + ':' +
           Escaped(data);
  }
  return out;
}

// What regedit writes: a byte-order mark, then UTF-16LE.
std::string Utf16LeFile(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

const std::string kV5 = "Windows Registry Editor Version 5.00\n\n";
const std::string kV4 = "REGEDIT4\n\n";
const std::string kTurnpike = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Turnpike]\n";

struct ParseRow {
  const char* name;
  std::string text;
  const char* expected;  // Dump of the key
  const char* path = "SOFTWARE\\Turnpike";
};

TEST(RegFileRegistry, ReadsEachValueForm) {
  const std::string v5 = kV5 + kTurnpike;
  const ParseRow rows[] = {
      {"text keeps its terminator", v5 + R"("ServerURL"="https://cas.example.org")",
       R"(ServerURL=1:https://cas.example.org\x00)"},
      {"escapes in name and text", v5 + R"("Na\"me"="C:\\dir \"x\"")", R"(Na"me=1:C:\dir "x"\x00)"},
      {"default value", v5 + R"(@="d")", R"(=1:d\x00)"},
      {"dword little-endian", v5 + R"("Debug"=dword:0001020a)", R"(Debug=4:\x0a\x02\x01\x00)"},
      // regedit writes eight digits, but hand-written files often do not.
      {"dword with fewer digits", v5 + "\"D\"=DWORD:Ff", R"(D=4:\xff\x00\x00\x00)"},
      {"binary over continuation lines", v5 + "\"B\"=hex:01,02,\\\n  03 , ff,\\\n  0", R"(B=3:\x01\x02\x03\xff\x00)"},
      {"expand string is UTF-16 in version 5", v5 + "\"E\"=hex(2):25,00,e9,00,00,00", R"(E=2:%\xc3\xa9\x00)"},
      {"expand string is 8-bit in REGEDIT4", kV4 + kTurnpike + "\"E\"=hex(2):25,e9,00", R"(E=2:%\xe9\x00)"},
      {"multi string keeps both terminators", v5 + "\"M\"=hex(7):61,00,00,00,62,00,00,00,00,00",
       R"(M=7:a\x00b\x00\x00)"},
      // The registry hands REG_SZ stored as hex(1) to ANSI readers converted
      // too; without this a path exported that way would arrive as UTF-16.
      {"hex(1) text is converted like hex(2)", v5 + "\"S\"=hex(1):2f,00,00,00", R"(S=1:/\x00)"},
      {"qword and other type numbers", v5 + "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n\"N\"=hex(0):\n\"X\"=hex(1f):aa",
       R"(Q=11:\x01\x00\x00\x00\x00\x00\x00\x00 N=0: X=31:\xaa)"},
      {"comments, blanks and CR LF",
       "Windows Registry Editor Version 5.00\r\n\r\n; Turnpike\r\n[HKEY_LOCAL_MACHINE\\"
       "SOFTWARE\\Turnpike]\r\n  ; indented comment\r\n\r\n\"A\"=\"x\"\r\n",
       R"(A=1:x\x00)"},
      {"UTF-16LE as regedit writes it",
       Utf16LeFile(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Turnpike]\r\n"
                   u"\"A\"=\"caf\u00e9 \U0001F600\"\r\n"),
       R"(A=1:caf\xc3\xa9 \xf0\x9f\x98\x80\x00)"},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + v5 + "\"A\"=\"caf\xC3\xA9\"", R"(A=1:caf\xc3\xa9\x00)"},
      {"values in file order", v5 + "\"b\"=\"1\"\n\"a\"=\"2\"\n\"c\"=\"3\"", R"(b=1:1\x00 a=1:2\x00 c=1:3\x00)"},
      {"a value set again keeps its place", v5 + "\"A\"=\"1\"\n\"B\"=\"2\"\n\"a\"=\"3\"", R"(A=1:3\x00 B=1:2\x00)"},
      {"a removed value set again goes last", v5 + "\"A\"=\"1\"\n\"B\"=\"2\"\n\"a\"=-\n\"C\"=\"3\"\n\"A\"=\"4\"",
       R"(B=1:2\x00 C=1:3\x00 A=1:4\x00)"},
      {"key paths ignore case", kV5 + "[hkey_local_machine\\Software\\TURNPIKE]\n\"A\"=\"x\"", R"(A=1:x\x00)",
       "SOFTWARE\\turnpike"},
      {"keys above a section exist", kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Turnpike\\Paths]", ""},
      {"other roots stay out of the machine's view", kV5 + "[HKEY_CURRENT_USER\\SOFTWARE\\Turnpike]\n\"A\"=\"x\"",
       "<no key>"},
      {"removing a key removes its subkeys",
       kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Turnpike\\Paths]\n\"1\"=\"/a\"\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\TURNPIKE]",
       "<no key>", "SOFTWARE\\Turnpike\\Paths"},
      {"removing a key leaves its neighbour",
       kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Turnpike2]\n\"A\"=\"x\"\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Turnpike]",
       R"(A=1:x\x00)", "SOFTWARE\\Turnpike2"},
  };
  for (const ParseRow& row : rows) {
    RegFileRegistry registry = RegFileRegistry::FromText(row.text, kSource);
    EXPECT_EQ(registry.problem(), std::nullopt) << row.name;
    EXPECT_EQ(Dump(registry, row.path), row.expected) << row.name;
  }
}

struct ProblemRow {
  const char* name;
  std::string text;
  std::string problem;
};

// Lines 1 to 3 are good, so a refused file also shows that nothing before the
// fault was kept.
const std::string kGood = "Windows Registry Editor Version 5.00\n" + kTurnpike + "\"A\"=\"x\"\n";

TEST(RegFileRegistry, RefusesMalformedFileWhole) {
  std::u16string lone_surrogate = u"Windows Registry Editor Version 5.00\r\n\r\n\"A\"=\"";
  lone_surrogate += static_cast<char16_t>(0xD800);
  lone_surrogate += u"\"\r\n";

  const ProblemRow rows[] = {
      {"wrong header after blank lines", "\n\nREGEDIT5\n" + kTurnpike,
       "t.reg:3: the first line must be \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\""},
      {"value before any key", "REGEDIT4\n\"A\"=\"x\"",
       "t.reg:2: a value line must come after a [key] line"},
      {"value after a removed key", kGood + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"B\"=\"y\"",
       "t.reg:5: a value line must come after a [key] line"},
      {"unquoted name", kGood + "Name=\"x\"", "t.reg:4: a value line must look like \"Name\"=data"},
      {"name without closing quote", kGood + "\"Name=x",
       "t.reg:4: the value name has no closing quote"},
      {"single backslash in text", kGood + R"("P"="C:\dir")",
       R"(t.reg:4: a backslash in the text must be doubled (\\) or come before a quote (\"))"},
      {"text after the closing quote", kGood + "\"N\"=\"x\" y",
       "t.reg:4: unexpected \" y\" after the closing quote"},
      {"unknown data", kGood + "\"N\"=string:x",
       "t.reg:4: unknown data \"string:x\"; expected \"text\", dword:, hex:, hex(N): or -"},
      {"dword of nine digits", kGood + "\"D\"=dword:000000001",
       "t.reg:4: a dword must be 1 to 8 hex digits, as in dword:0000000a; found \"000000001\""},
      {"hex byte of three digits", kGood + "\"B\"=hex:01,123",
       "t.reg:4: a hex list must be bytes of two hex digits separated by commas; found \"123\""},
      {"hex list with a gap", kGood + "\"B\"=hex:01,,02",
       "t.reg:4: a hex list has an empty entry between two commas"},
      {"fault on a continuation line", kGood + "\"B\"=hex:01,\\\n  02,\\\n  zz",
       "t.reg:6: a hex list must be bytes of two hex digits separated by commas; found \"zz\""},
      {"continuation past the end", kGood + "\"B\"=hex:01,\\\n",
       "t.reg:4: the hex list continues past the end of the file"},
      {"odd UTF-16 string data", kGood + "\"E\"=hex(2):41,00,00",
       "t.reg:4: text data in a version 5 file is UTF-16LE and cannot have an odd number of bytes"},
      {"unknown root key", kGood + "[HKLM\\SOFTWARE\\Turnpike]",
       "t.reg:4: unknown root key \"HKLM\"; expected HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, "
       "HKEY_CLASSES_ROOT, HKEY_USERS or HKEY_CURRENT_CONFIG"},
      {"empty part in a key path", kGood + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\Turnpike]",
       R"(t.reg:4: the key path "HKEY_LOCAL_MACHINE\SOFTWARE\\Turnpike" has an empty part)"},
      {"removing a root key", kGood + "[-HKEY_LOCAL_MACHINE]",
       "t.reg:4: a root key cannot be removed"},
      {"NUL byte in an 8-bit file", kGood + std::string("\"A\"=\"\0\"", 7),
       "t.reg:4: the file holds a NUL byte; a UTF-16 file must start with its byte-order mark"},
      {"UTF-16 big-endian", "\xFE\xFF",
       "t.reg:1: the file is UTF-16 big-endian; save it as "
       "UTF-16LE (as regedit does) or UTF-8"},
      {"unpaired surrogate in a UTF-16 file", Utf16LeFile(lone_surrogate),
       "t.reg:3: the text holds an unpaired UTF-16 surrogate"},
      {"file over the size cap", kGood + std::string(1024 * 1024, ';'),
       "t.reg: the file is larger than 1048576 bytes, too large for a registry file"},
  };
  for (const ProblemRow& row : rows) {
    RegFileRegistry registry = RegFileRegistry::FromText(row.text, kSource);
    EXPECT_EQ(registry.problem(), row.problem) << row.name;
    EXPECT_TRUE(registry.file_found()) << row.name;
    EXPECT_EQ(Dump(registry, "SOFTWARE\\Turnpike"), "<no key>") << row.name;
  }
}

TEST(RegFileRegistry, EnumValueNameMustFitWithItsTerminator) {
  struct Row {
    std::size_t length;
    bool fits;
  };
  const Row rows[] = {
      {kValueNameCapacity - 2, true}, {kValueNameCapacity - 1, true}, {kValueNameCapacity, false}};
  for (const Row& row : rows) {
    const std::string name(row.length, 'n');
    RegFileRegistry registry =
        RegFileRegistry::FromText(kV5 + kTurnpike + "\"" + name + "\"=\"x\"", kSource);
    ScopedRegistryKey key(registry);
    ASSERT_TRUE(registry.OpenKey("SOFTWARE\\Turnpike", RegistryAccessMode::Read, key.out()));
    std::vector<char> buffer(kValueNameCapacity);
    std::uint32_t capacity = kValueNameCapacity;
    std::uint32_t size = 0;
    EXPECT_EQ(registry.EnumValue(key.get(), 0, buffer.data(), &capacity, nullptr, nullptr, &size),
              row.fits)
        << row.length;
    if (row.fits) {
      EXPECT_EQ(capacity, row.length);
      EXPECT_EQ(std::string(buffer.data()), name);
    }
  }
}

TEST(RegFileRegistry, ReportsTheSizeNeededWhenTheBufferIsShort) {
  RegFileRegistry registry = RegFileRegistry::FromText(kV5 + kTurnpike + "\"A\"=\"abc\"", kSource);
  ScopedRegistryKey key(registry);
  ASSERT_TRUE(registry.OpenKey("software\\turnpike", RegistryAccessMode::QueryValue, key.out()));

  char data[4] = {};
  std::uint32_t size = 3;
  EXPECT_FALSE(registry.QueryValue(key.get(), "a", nullptr, data, &size));
  EXPECT_EQ(size, 4u);
  EXPECT_TRUE(registry.QueryValue(key.get(), "a", nullptr, data, &size));
  EXPECT_EQ(std::string(data, size), std::string("abc", 4));

  char name[8];
  std::uint32_t capacity = sizeof name;
  size = 3;
  EXPECT_FALSE(registry.EnumValue(key.get(), 0, name, &capacity, nullptr, data, &size));
  EXPECT_EQ(size, 4u);
  EXPECT_FALSE(registry.EnumValue(key.get(), 1, name, &capacity, nullptr, nullptr, &size));
  EXPECT_FALSE(registry.QueryValue(key.get(), "missing", nullptr, nullptr, &size));

  const RegistryKeyHandle stale = key.get();
  key.Close();
  EXPECT_FALSE(registry.QueryValue(stale, "A", nullptr, nullptr, &size));
}

TEST(RegFileRegistry, KeepsKeysWrittenAtRunTimeInMemory) {
  RegFileRegistry registry = RegFileRegistry::FromText(kV5 + kTurnpike + "\"A\"=\"1\"", kSource);
  ASSERT_TRUE(EnsureEventSource(registry));
  EXPECT_EQ(Dump(registry, kEventSourceKey),
            R"(EventMessageFile=2:%SystemRoot%\system32\inetsrv\Turnpike.dll\x00 )"
            R"(TypesSupported=4:\x07\x00\x00\x00)");

  ScopedRegistryKey key(registry);
  ASSERT_TRUE(registry.CreateKey("SOFTWARE\\Turnpike", key.out()));
  EXPECT_TRUE(registry.SetValue(key.get(), "B", RegistryType::Sz, "2", 2));
  EXPECT_TRUE(registry.SetValue(key.get(), "a", RegistryType::Sz, "3", 2));
  EXPECT_EQ(Dump(registry, "SOFTWARE\\Turnpike"), R"(A=1:3\x00 B=1:2\x00)");
}

class RegFileOnDisk : public testing::Test {
 protected:
  void SetUp() override {
    directory_ = std::filesystem::path(testing::TempDir()) /
                 ("regfile-" + std::to_string(::getpid()) + "-" +
                  testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = (directory_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::filesystem::path directory_;
};

TEST_F(RegFileOnDisk, MissingFileIsAnEmptyRegistry) {
  RegFileRegistry registry = RegFileRegistry::FromFile((directory_ / "absent.reg").string());
  EXPECT_FALSE(registry.file_found());
  EXPECT_EQ(registry.problem(), std::nullopt);
  EXPECT_EQ(Dump(registry, "SOFTWARE\\Turnpike"), "<no key>");

  // The loader then names the key, which tells the administrator what to set up.
  RecordingEventLog log;
  FilterSettings settings;
  EXPECT_FALSE(LoadSettings(registry, EventReporter(log, settings.Debug), settings));
  ASSERT_EQ(log.events().size(), 1u);
  EXPECT_EQ(log.events()[0].detail, "SOFTWARE\\Turnpike");
}

TEST_F(RegFileOnDisk, DirectoryIsRefusedWithTheSystemsReason) {
  const std::string path = directory_.string();
  RegFileRegistry registry = RegFileRegistry::FromFile(path);
  EXPECT_TRUE(registry.file_found());
  EXPECT_EQ(registry.problem(), path + ": Is a directory");
}

TEST_F(RegFileOnDisk, RealisticConfigurationFeedsTheSettingsLoader) {
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n"
      u"\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Turnpike]\r\n"
      u"\"ServerURL\"=\"https://cas.example.edu/cas\"\r\n"
      u"\"LoginPath\"=\"login\"\r\n"
      u"\"ValidationPath\"=\"serviceValidate\"\r\n"
      u"\"AuthHeader\"=\"X-Turnpike-User\"\r\n"
      u"\"Debug\"=dword:00000000\r\n"
      u"\"SessionTimeout\"=dword:000001e0\r\n"
      u"\"CacheCleanTimeout\"=dword:0000000f\r\n"
      u"\"ServiceURL\"=\"\"\r\n"
      u"\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Turnpike\\Paths]\r\n"
      u"\"1\"=\"/Secure/\"\r\n"
      u"\"Note\"=dword:00000001\r\n"
      u"\"2\"=\"/payroll/\"\r\n"
      u"\r\n";
  RegFileRegistry registry = RegFileRegistry::FromFile(Write("turnpike.reg", Utf16LeFile(text)));
  ASSERT_TRUE(registry.file_found());
  ASSERT_EQ(registry.problem(), std::nullopt);

  RecordingEventLog log;
  FilterSettings s;
  EXPECT_TRUE(LoadSettings(registry, EventReporter(log, s.Debug), s));
  EXPECT_EQ(log.events(), std::vector<RecordedEvent>{});
  EXPECT_EQ(std::vector<std::string>({s.ServerURL, s.LoginPath, s.ValidationPath, s.AuthHeader}),
            std::vector<std::string>({"https://cas.example.edu/cas", "login", "serviceValidate", "X-Turnpike-User"}));
  EXPECT_EQ(std::vector<std::uint32_t>({s.Debug, s.SessionTimeout, s.CacheCleanTimeout}),
            std::vector<std::uint32_t>({0, 480, 15}));
  EXPECT_EQ(s.ServiceURL, std::nullopt);
  ASSERT_EQ(s.ProtectedPaths.Count, 2u);
  const ProtectedPathList& paths = s.ProtectedPaths;
  EXPECT_EQ(std::vector<std::string>({paths.Paths[0], paths.LoweredPaths[0], paths.Paths[1]}),
            std::vector<std::string>({"/Secure/", "/secure/", "/payroll/"}));
}

}  // namespace
}  // namespace turnpike
