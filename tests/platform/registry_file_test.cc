#include "platform/registry_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/scoped_temp_dir.h"
#include "platform/host_file_system.h"
#include "support/errors.h"

namespace vd {
namespace {

// UTF-16LE bytes of a text of characters below U+10000.
std::string Utf16(std::u16string_view text) {
  std::string bytes;
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

// A value of a parsed file as "<type>:<text, number or size>", or "missing"
// or "no key".
std::string Describe(const RegistryFile& file, const std::string& key, const std::string& name) {
  static const char* const kTypes[] = {"text",  "expand", "number", "binary",
                                       "multi", "qword",  "other"};
  const auto opened = file.OpenKeyReadOnly(key);
  if (!opened) return "no key";
  const auto value = opened->FindValue(name);
  if (!value) return "missing";
  const std::string type = kTypes[static_cast<int>(value->type)];
  if (type == "text" || type == "expand") return type + ":" + value->text;
  if (type == "number") return type + ":" + std::to_string(value->number);
  return type + ":" + std::to_string(value->bytes.size());
}

struct Lookup {
  std::string key;
  std::string name;
  std::string expected;
};

struct ParseCase {
  const char* name;
  std::string bytes;
  std::vector<Lookup> lookups;
};

constexpr char kDrivers[] = "Software\\Lirra!\\Drivers";

TEST(RegistryFileTest, EveryExportFormOfTheEditorReadsTheSameValues) {
  const std::string body5 =
      "[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers]\r\n"
      "\"Path\"=\"/var/lib/lirra\"\r\n"
      "\"Kernel1\"=\"Name=main;IP=127.0.0.1;Port=5000\"\r\n"
      "\"SecurityEnabled\"=dword:00000001\r\n"
      "\r\n";
  const std::vector<Lookup> common = {
      {kDrivers, "Path", "text:/var/lib/lirra"},
      {kDrivers, "kernel1", "text:Name=main;IP=127.0.0.1;Port=5000"},
      {"SOFTWARE\\lirra!\\drivers", "SecurityEnabled", "number:1"},
  };
  const std::string driver = kDrivers + std::string("\\VolterDirectDriver");
  const Lookup name{driver, "Name",
                    "text:\xC5\x81\xC3\xB3"
                    "d\xC5\xBA"};  // Polish letters
  const Lookup log_path{driver, "LogPath", "expand:/var/"};
  const ParseCase cases[] = {
      {"UTF-16LE with BOM, CR LF",
       "\xFF\xFE" + Utf16(u"Windows Registry Editor Version 5.00\r\n\r\n") +
           Utf16(std::u16string(body5.begin(), body5.end())) +
           Utf16(u"[Software\\Lirra!\\Drivers\\VolterDirectDriver]\r\n\"Name\"="
                 u"\"\u0141\u00f3d\u017a\"\r\n"
                 u"\"LogPath\"=hex(2):2f,00,76,00,61,00,\\\r\n  72,00,2f,00,00,00\r\n"),
       {name, log_path}},
      {"UTF-8 with BOM, LF",
       "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n" + body5 +
           "[Software\\Lirra!\\Drivers\\VolterDirectDriver]\n\"Name\"=\"\xC5\x81\xC3\xB3"
           "d\xC5\xBA\"\n",
       {name}},
      {"UTF-8 without BOM", "Windows Registry Editor Version 5.00\r\n" + body5, {}},
      {"REGEDIT4 in Windows-1250",
       "REGEDIT4\r\n\r\n" + body5 +
           "[Software\\Lirra!\\Drivers\\VolterDirectDriver]\r\n\"Name\"=\"\xA3\xF3"
           "d\x9F\"\r\n"
           "\"LogPath\"=hex(2):2f,76,61,\\\r\n  72,2f,00\r\n",
       {name, log_path}},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    const RegistryFile file = RegistryFile::Parse(c.bytes, "test.reg");
    std::vector<Lookup> lookups = common;
    lookups.insert(lookups.end(), c.lookups.begin(), c.lookups.end());
    for (const Lookup& l : lookups) EXPECT_EQ(Describe(file, l.key, l.name), l.expected) << l.name;
  }
}

TEST(RegistryFileTest, ValueFormsKeysAndDeletionsReadAsAnImportWouldLeaveThem) {
  const RegistryFile file = RegistryFile::Parse(
      "Windows Registry Editor Version 5.00\n"
      "; a comment\n"
      "   ; an indented comment\n"
      "[HKEY_CURRENT_USER\\Software\\Lirra!\\Drivers]\n"
      "\"Path\"=\"another root\"\n"
      "[Software\\Lirra!\\Drivers\\X\\Port1]\n"
      "@=\"default\"\n"
      "\"Esc\"=\"a\\\\b \\\"q\\\"\"   ; trailing comment\n"
      "\"Dword\"=DWORD:FFFFFFFF\n"
      "\"Bin\"=hex:01,02,03\n"
      "\"Empty\"=hex:\n"
      "\"Multi\"=hex(7):61,00,00,00,00,00\n"
      "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n"
      "\"D4\"=hex(4):2a,00,00,00\n"
      "\"Odd\"=hex(5):00,00,00,2a\n"
      "\"Gone\"=\"x\"\n"
      "\"Gone\"=-\n"
      "\"Twice\"=\"first\"\n"
      "\"twice\"=\"second\"\n"
      "[Software\\Lirra!\\Drivers\\Deleted\\Sub]\n"
      "\"V\"=\"1\"\n"
      "[-Software\\Lirra!\\Drivers\\Deleted]\n"
      "\"After\"=\"dropped\"\n",
      "t.reg");
  const std::string port = "software\\lirra!\\drivers\\x\\port1";
  const Lookup lookups[] = {
      {kDrivers, "Path", "missing"},  // the parent exists, without values
      {port, "", "text:default"},
      {port, "esc", "text:a\\b \"q\""},
      {port, "Dword", "number:4294967295"},
      {port, "Bin", "binary:3"},
      {port, "Empty", "binary:0"},
      {port, "Multi", "multi:6"},
      {port, "Q", "qword:8"},
      {port, "D4", "number:42"},
      {port, "Odd", "other:4"},
      {port, "Gone", "missing"},
      {port, "Twice", "text:second"},
      {"Software\\Lirra!\\Drivers\\Deleted\\Sub", "V", "no key"},
      {"Software\\Lirra!\\Drivers\\Deleted", "After", "no key"},
      {"Software\\Lirra!\\Drivers\\Port1", "", "no key"},
  };
  for (const Lookup& l : lookups) EXPECT_EQ(Describe(file, l.key, l.name), l.expected) << l.name;
  EXPECT_TRUE(file.KeyExists("Software"));
  EXPECT_TRUE(file.KeyExists("software\\LIRRA!\\Drivers\\"));
  EXPECT_FALSE(file.KeyExists("Software\\Lirra"));  // a prefix of a name is no key
  EXPECT_FALSE(file.KeyExists("Software\\Lirra!\\Drivers\\Deleted"));

  EXPECT_EQ(file.OpenKeyReadOnly(port)->ReadInteger("Dword"), -1);
}

struct ErrorCase {
  std::string bytes;
  std::string expected;
};

TEST(RegistryFileTest, UnparsableFilesNameTheFileAndTheLine) {
  const std::string h = "Windows Registry Editor Version 5.00\r\n";
  const ErrorCase cases[] = {
      {"[Software]\r\n", "line 1: not a registry file"},
      {"", "line 1: not a registry file"},
      {"\xFE\xFF", "line 1: UTF-16 big-endian"},
      {h + "\"Path\"=\"x\"\r\n", "line 2: a value before the first key"},
      {h + "[A]\r\n\"Path\"=\"x\r\n", "line 3: a quoted text without its closing"},
      {h + "[A]\r\n\"Path\"=\"C:\\Temp\"\r\n", "line 3: a backslash in a quoted text"},
      {h + "[A]\r\n\"P\"=dword:1234567890\r\n", "line 3: a dword value"},
      {h + "[A]\r\n\"P\"=dword:\r\n", "line 3: a dword value"},
      {h + "[A]\r\n\"P\"=hex:01,0g\r\n", "line 3: a hex list entry"},
      {h + "[A]\r\n\"P\"=hex:01,,02\r\n", "line 3: a hex list entry"},
      {h + "[A]\r\n\"P\"=hex(2:01\r\n", "line 3: a hex value type"},
      {h + "[A]\r\n\"P\"=hex:01,\\\r\n 02,\\\r\n", "line 4: a hex list continued past the end"},
      {h + "[A]\r\n\r\n\"P\"=\"x\" y\r\n", "line 4: unexpected text after the value"},
      {h + "[A]\r\n\"P\" \"x\"\r\n", "line 3: a value name without '='"},
      {h + "[A]\r\n\"P\"=str:x\r\n", "line 3: value data that is no text"},
      {h + "[A\r\n", "line 2: a key line without its closing ']'"},
      {h + "[A\\\\B]\r\n", "line 2: a key path with an empty part"},
      {h + "[A]\r\nPath=1\r\n", "line 3: a line that is no key, value or comment"},
      {h + "[A]\r\n\"P\"=\"\xA3\"\r\n", "line 3: invalid UTF-8 text"},
      {h + std::string("[A]\r\n\"P\"=\"a\0b\"\r\n", 16), "line 3: a NUL character"},
      {"\xFF\xFE" + Utf16(u"Windows Registry Editor Version 5.00\r\n[A]\r\n\"P\"=\"\xD800\"\r\n"),
       "line 3: invalid UTF-16 text"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.expected);
    std::string message = "no error";
    try {
      RegistryFile::Parse(c.bytes, "/etc/lirra/registry.reg");
    } catch (const ERegistryException& e) {
      message = e.Message();
    }
    EXPECT_TRUE(message.starts_with("/etc/lirra/registry.reg, " + c.expected)) << message;
  }
}

TEST(RegistryFileLoadTest, FaultsOfAFileOnDiskNameIt) {
  ScopedTempDir temp;
  HostFileSystem fs;
  // "<kind>: <message>" of what loading the file raises.
  const auto load_error = [&](const std::string& path) -> std::string {
    try {
      RegistryFile::Load(fs, path);
    } catch (const ERegistryException& e) {
      return "registry: " + e.Message();
    } catch (const EOSError& e) {
      return "os: " + e.Message();
    }
    return "loaded";
  };
  const std::string bad = temp.Path() + "bad.reg";
  fs.WriteFile(bad, "REGEDIT4\n\n[Software\\A]\n\"N\"=dword:xx\n", false);
  EXPECT_EQ(load_error(bad),
            "registry: " + bad + ", line 4: a dword value that is not 1 to 8 hexadecimal digits");
  const std::string missing = temp.Path() + "missing.reg";
  EXPECT_TRUE(load_error(missing).starts_with("os: ")) << load_error(missing);
  EXPECT_NE(load_error(missing).find(missing), std::string::npos) << load_error(missing);
  const std::string huge = temp.Path() + "huge.reg";
  fs.WriteFile(huge, std::string(RegistryFile::kMaxFileSize + 1, ';'), false);
  EXPECT_TRUE(load_error(huge).starts_with("registry: ")) << load_error(huge);
}

}  // namespace
}  // namespace vd
