// Registry files in regedit's own formats.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/reg_file.h"
#include "base/text.h"

namespace kestrio {
namespace {

using namespace std::string_literals;

TEST(RegFile, ReadsWhatRegExportWritesAndRoundTrips) {
  const std::string exported =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ProductOptions]\r\n"
      "\"ProductType\"=\"WinNT\"\r\n"
      "\"ProductSuite\"=hex(7):54,00,65,00,72,00,6d,00,69,00,6e,00,61,00,6c,00,20,00,53,\\\r\n"
      "  00,65,00,72,00,76,00,65,00,72,00,00,00,45,00,6d,00,62,00,65,00,64,00,64,00,\\\r\n"
      "  65,00,64,00,4e,00,54,00,00,00,00,00\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\"Path\"=\"C:\\\\Windows \\\"x\\\"\"\r\n";
  sim::RegFile reg;
  std::string error;
  ASSERT_TRUE(reg.Parse(exported, &error)) << error;
  const std::string key = "hkey_local_machine\\SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
  const sim::RegValue* suite = reg.Find(key, "productsuite");
  ASSERT_NE(suite, nullptr);
  EXPECT_EQ(sim::RegStrings(*suite), (std::vector<std::string>{"Terminal Server", "EmbeddedNT"}));
  EXPECT_EQ(sim::RegStrings(*reg.Find(key, "Path")), (std::vector<std::string>{"C:\\Windows \"x\""}));
  EXPECT_EQ(reg.Find(key, "Count")->data, (std::vector<std::uint8_t>{42, 0, 0, 0}));

  sim::RegFile again;
  ASSERT_TRUE(again.Parse(reg.Serialize(), &error)) << error;
  for (const char* name : {"ProductType", "ProductSuite", "Count", "Path"}) {
    ASSERT_NE(again.Find(key, name), nullptr) << name;
    EXPECT_EQ(again.Find(key, name)->data, reg.Find(key, name)->data) << name;
    EXPECT_EQ(again.Find(key, name)->type, reg.Find(key, name)->type) << name;
  }
}

TEST(RegFile, RefusesMalformedFilesNamingTheLineAndItsCause) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "line 1: empty registry file"},
      {"REGEDIT5\n", "line 1: not a registry file"},
      {"Windows Registry Editor Version 5.00\n\"a\"=\"b\"\n", "line 2: value outside any key"},
      {"Windows Registry Editor Version 5.00\n[K]\n\"a\"=hex(7):4g\n", "line 3: bad hex bytes"},
      {"Windows Registry Editor Version 5.00\n[K]\n\"a\"=dword:123456789\n", "line 3: bad dword value"},
      {"Windows Registry Editor Version 5.00\n[K]\n\"a\"=\"unterminated\n", "line 3: bad string value"},
      {"Windows Registry Editor Version 5.00\n[K]\n\"a\"=\"b\" ; why\n",
       "line 3: a comment after the value (a comment needs a line of its own)"},
      {"Windows Registry Editor Version 5.00\n[K]\n\"a\"=dword:00000001 ;why\n", "line 3: a comment after the value"},
      {"Windows Registry Editor Version 5.00\n[K]\n\"a\"=\"b\"x\n", "line 3: text after the value"},
      {"Windows Registry Editor Version 5.00\n[K] ; note\n", "line 2: a comment after the key's ']'"},
      {"Windows Registry Editor Version 5.00\n[K\n", "line 2: key line without ']'"},
      {"Windows Registry Editor Version 5.00\n\n[-K]\n\"a\"=\"b\"\n",
       "line 4: a value after the deleted key [-K] (a deleted key holds no values)"},
      // A continued value must go on: a blank line or the end of the file
      // does not cut it short.
      {"Windows Registry Editor Version 5.00\n[K]\n\"a\"=hex:01,\\\n\n  02\n",
       "line 3: the value goes on with '\\' into a blank line (line 4)"},
      {"Windows Registry Editor Version 5.00\n[K]\n\"a\"=hex:01,\\",
       "line 3: the value goes on with '\\' past the end of the file"},
  };
  for (const auto& [content, message] : cases) {
    sim::RegFile reg;
    std::string error;
    EXPECT_FALSE(reg.Parse(content, &error)) << content;
    EXPECT_EQ(error.substr(0, std::string(message).size()), message) << content;
  }
}

// regedit's own forms: version 5.00 in UTF-16LE with its mark and CRLF, and
// REGEDIT4 in Windows-1252.
std::string Utf16File(std::string_view utf8) {
  std::string out = "\xFF\xFE";
  for (char16_t unit : text::Utf8ToUtf16(utf8)) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  }
  return out;
}

const std::string kVersion5Export = Utf16File(
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "; exported from the machine\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]  \r\n"
    "\"Old\"=\"x\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Sub]\r\n"
    "\"Deep\"=\"y\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VendorTools]\r\n"
    "\"Keep\"=\"z\"\r\n\r\n"
    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\vendor]\r\n\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\Desktop\\MuiCached]\r\n"
    "; the user-interface language\r\n"
    "\"MachinePreferredUILanguages\"=HEX(7):64,00,65,00,2d,00,44,00,45,00,00,00 \r\n"
    "\"Count\"=DWORD:0000002a\r\n"
    "\"Name\"=\"Wei\xC3\x9F\"   \r\n");

const std::string kRegedit4Export =
    "REGEDIT4\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Vendor]\r\n"
    "\"Farbe\"=\"Wei\xDF\"\r\n"
    "\"Liste\"=hex(7):57,65,69,df,00,4b,80,00,00\r\n"
    "\"Pfad\"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,5c,\\\r\n"
    "  78,00\r\n";

TEST(RegFile, ReadsRealExportsInBothFormats) {
  struct Case {
    const std::string* file;
    const char* key;
    const char* name;
    std::uint32_t type;  // 0: the value is absent
    std::vector<std::string> strings;
  };
  const std::string mui = "HKEY_CURRENT_USER\\Control Panel\\Desktop\\MuiCached";
  const Case cases[] = {
      {&kVersion5Export, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor", "Old", 0, {}},  // [-KEY] deletes the key
      {&kVersion5Export, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Sub", "Deep", 0, {}},  // and its subkeys
      {&kVersion5Export, "HKEY_LOCAL_MACHINE\\SOFTWARE\\VendorTools", "Keep", sim::kRegSz, {"z"}},
      {&kVersion5Export, mui.c_str(), "MachinePreferredUILanguages", sim::kRegMultiSz, {"de-DE"}},
      {&kVersion5Export, mui.c_str(), "Name", sim::kRegSz, {"Wei\xC3\x9F"}},
      {&kRegedit4Export, "HKEY_CURRENT_USER\\Software\\Vendor", "Farbe", sim::kRegSz, {"Wei\xC3\x9F"}},
      {&kRegedit4Export, "HKEY_CURRENT_USER\\Software\\Vendor", "Liste", sim::kRegMultiSz,
       {"Wei\xC3\x9F", "K\xE2\x82\xAC"}},
      {&kRegedit4Export, "HKEY_CURRENT_USER\\Software\\Vendor", "Pfad", sim::kRegExpandSz, {"%SystemRoot%\\x"}},
  };
  for (const auto& c : cases) {
    sim::RegFile reg;
    std::string error;
    ASSERT_TRUE(reg.Parse(*c.file, &error)) << error;
    const sim::RegValue* value = reg.Find(c.key, c.name);
    if (c.type == 0) {
      EXPECT_EQ(value, nullptr) << c.name;
      EXPECT_FALSE(reg.HasKey(c.key)) << c.key;
      continue;
    }
    ASSERT_NE(value, nullptr) << c.name;
    EXPECT_EQ(value->type, c.type) << c.name;
    EXPECT_EQ(sim::RegStrings(*value), c.strings) << c.name;
  }
  sim::RegFile reg;
  ASSERT_TRUE(reg.Parse(kVersion5Export, nullptr));
  EXPECT_EQ(reg.Find(mui, "Count")->data, (std::vector<std::uint8_t>{42, 0, 0, 0}));
  EXPECT_EQ(reg.Find(mui, "MachinePreferredUILanguages")->data.size(), 12u);
  ASSERT_TRUE(reg.Parse(kRegedit4Export, nullptr));
  EXPECT_EQ(reg.Find("HKEY_CURRENT_USER\\Software\\Vendor", "Liste")->data.size(), 18u);  // 8-bit text as UTF-16
}

TEST(RegFile, WritesBackInTheFormItReadWithItsComments) {
  struct Case {
    const char* label;
    std::string file;
    std::string set;         // a new text for MuiCached "Name"
    std::string startsWith;  // the file written
    std::vector<std::string> contains;
  };
  const std::string mui = "HKEY_CURRENT_USER\\Control Panel\\Desktop\\MuiCached";
  const Case cases[] = {
      {"unchanged UTF-16 file", kVersion5Export, "",
       "\xFF\xFE" "W\0i\0n\0d\0o\0w\0s\0 \0R\0"s,
       {Utf16File("; exported from the machine\r\n").substr(2), Utf16File("; the user-interface language\r\n").substr(2)}},
      {"UTF-16 file with a value set", kVersion5Export, "fr-FR", "\xFF\xFE"s,
       {Utf16File("\"Name\"=\"fr-FR\"\r\n").substr(2), Utf16File("; the user-interface language\r\n").substr(2)}},
      {"REGEDIT4 stays ANSI", kRegedit4Export + "[" + mui + "]\r\n", "K\xE2\x82\xAC", "REGEDIT4\r\n",
       {"\"Farbe\"=\"Wei\xDF\"\r\n", "\"Name\"=\"K\x80\"\r\n", "hex(7):57,65,69,df,00,4b,80,00,00\r\n"}},
      {"REGEDIT4 with text outside Windows-1252", kRegedit4Export + "[" + mui + "]\r\n", "\xE6\x97\xA5",
       "\xFF\xFE" "W\0"s, {Utf16File("\"Name\"=\"\xE6\x97\xA5\"\r\n").substr(2)}},
  };
  for (const auto& c : cases) {
    sim::RegFile reg;
    std::string error;
    ASSERT_TRUE(reg.Parse(c.file, &error)) << c.label << ": " << error;
    if (!c.set.empty()) reg.SetString(mui, "Name", c.set);
    EXPECT_EQ(reg.Changed(), !c.set.empty()) << c.label;
    const std::string written = reg.Serialize();
    EXPECT_EQ(written.substr(0, c.startsWith.size()), c.startsWith) << c.label;
    for (const auto& part : c.contains) EXPECT_NE(written.find(part), std::string::npos) << c.label;
    sim::RegFile again;
    ASSERT_TRUE(again.Parse(written, &error)) << c.label << ": " << error;
    if (!c.set.empty()) {
      EXPECT_EQ(sim::RegStrings(*again.Find(mui, "Name")), std::vector<std::string>{c.set}) << c.label;
    }
  }
}

TEST(RegFile, SkipsBadLinesOnlyWhenAskedListingAndKeepingEach) {
  const std::string file =
      "Windows Registry Editor Version 5.00\n\n[K]\n\"a\"=\"1\" ; inline\n\"b\"=dword:00000002\n"
      "[-Gone]\n\"c\"=\"3\"\n[K] ; again\n\"d\"=\"4\"\n";
  sim::RegFile reg;
  std::string error;
  EXPECT_FALSE(reg.Parse(file, &error));
  EXPECT_EQ(error.substr(0, 7), "line 4:");
  std::vector<std::string> skipped;
  ASSERT_TRUE(reg.Parse(file, &error, &skipped)) << error;
  EXPECT_EQ(skipped, (std::vector<std::string>{
                         "line 4: a comment after the value (a comment needs a line of its own): \"a\"=\"1\" ; inline",
                         "line 7: a value after the deleted key [-Gone] (a deleted key holds no values): \"c\"=\"3\"",
                         "line 8: a comment after the key's ']' (a comment needs a line of its own): [K] ; again",
                         "line 9: value outside any key: \"d\"=\"4\""}));
  EXPECT_EQ(reg.Find("K", "a"), nullptr);
  EXPECT_EQ(reg.Find("K", "d"), nullptr);  // not filed under the key before the bad key line
  ASSERT_NE(reg.Find("K", "b"), nullptr);
  const std::string written = reg.Serialize();
  EXPECT_NE(written.find("\n\"a\"=\"1\" ; inline\n"), std::string::npos) << written;
  EXPECT_NE(written.find("\n\"c\"=\"3\"\n"), std::string::npos) << written;
}

// registry.reg written back after a reading that skipped bad lines: read
// again, every value is where it was, and the skipped lines still belong to
// no key.

TEST(RegFileRewrite, SkippedLinesStayOutsideAnyKeyWhenTheFileIsReadAgain) {
  const std::string head = "Windows Registry Editor Version 5.00\n\n[A]\n\"a\"=\"1\"\n\n";
  struct Case {
    const char* label;
    std::string file;
    std::vector<std::pair<const char*, const char*>> present;  // key, value name
    std::vector<std::pair<const char*, const char*>> absent;
  };
  const std::vector<Case> cases = {
      {"a value after a deleted key", head + "[-X]\n\"v\"=\"2\"\n\n[Y]\n\"y\"=\"3\"\n", {{"A", "a"}, {"Y", "y"}},
       {{"A", "v"}}},
      {"the same, with the key after it read before",
       head + "[Y]\n\"y\"=\"3\"\n[-X]\n\"v\"=\"2\"\n[A]\n\"b\"=\"4\"\n", {{"A", "a"}, {"A", "b"}, {"Y", "y"}},
       {{"Y", "v"}, {"A", "v"}}},
      {"a value outside any key above a key deleted later",
       "Windows Registry Editor Version 5.00\n\n\"v\"=\"2\"\n[X]\n[A]\n\"a\"=\"1\"\n[-X]\n", {{"A", "a"}},
       {{"A", "v"}}},
      {"a deleted key made again", head + "[-A]\n\"v\"=\"2\"\n[A]\n\"b\"=\"4\"\n", {{"A", "b"}}, {{"A", "a"}, {"A", "v"}}},
      {"a value after hex data that goes on into a blank line",
       head + "[Y]\n\"h\"=hex:01,\\\n\n\"y\"=\"3\"\n", {{"A", "a"}, {"Y", "y"}}, {{"Y", "h"}}},
      {"a value under a key line without ']'", head + "[B\n\"v\"=\"2\"\n[Y]\n\"y\"=\"3\"\n", {{"A", "a"}, {"Y", "y"}},
       {{"A", "v"}}},
      // [-Y] above Q goes below [-Q] when Q is deleted; written there it
      // would delete Y, made in between, on the next reading (and with Y
      // the [-W] above it, and W).
      {"two deletions in a row keep their order",
       head + "[-X]\n[-Y]\n[Y]\n\"y\"=\"2\"\n", {{"A", "a"}, {"Y", "y"}}, {}},
      {"a deletion above a key deleted later",
       head + "[-Y]\n[Q]\n\"q\"=\"1\"\n[-W]\n[Y]\n\"y\"=\"2\"\n[W]\n\"w\"=\"3\"\n[-Q]\n[Z]\n\"z\"=\"4\"\n",
       {{"Y", "y"}, {"W", "w"}, {"Z", "z"}}, {{"Q", "q"}}},
  };
  for (const auto& c : cases) {
    sim::RegFile first, again;
    std::string error;
    std::vector<std::string> skipped;
    ASSERT_TRUE(first.Parse(c.file, &error, &skipped)) << c.label << ": " << error;
    const std::string written = first.Serialize();
    skipped.clear();
    ASSERT_TRUE(again.Parse(written, &error, &skipped)) << c.label << ": " << error;
    for (const auto& [key, name] : c.present) EXPECT_NE(again.Find(key, name), nullptr) << c.label << ": " << written;
    for (const auto& [key, name] : c.absent) EXPECT_EQ(again.Find(key, name), nullptr) << c.label << ": " << written;
    EXPECT_EQ(again.Serialize(), written) << c.label;
  }
}

}  // namespace
}  // namespace kestrio
