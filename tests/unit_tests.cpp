// Pure pieces: text widths, command-line splitting, INI and registry files,
// the error table and the catalogue.
#include <gtest/gtest.h>

#include "engine/discovery.h"
#include "engine/language.h"
#include "platform/cmdline.h"
#include "platform/text.h"
#include "sim/ini_file.h"
#include "sim/reg_file.h"

namespace kestrio {
namespace {

TEST(ErrorText, TableTextsAndTheUnknownFormat) {
  const std::pair<std::int32_t, const char*> cases[] = {
      {0, ""},
      {-3, "Language index isn't valid."},
      {-5, "An error ocurred getting the current language"},
      {-9, "You have selected the same language to install. Please, change language."},
      {-14, "OS update package file(s) not found."},
      {-15, "Ukonown error -15."},
      {1, "Ukonown error 1."},
      {3010, "Ukonown error 3010."},
  };
  for (const auto& [code, expected] : cases) {
    std::string text = "old";
    EXPECT_EQ(engine::GetErrorText(code, &text), 0) << code;
    EXPECT_EQ(text, expected) << code;
  }
  EXPECT_EQ(engine::GetErrorText(-1, nullptr), -4);
}

TEST(ErrorText, EveryEngineCodeHasItsOwnText) {
  for (std::int32_t code = -1; code >= -14; --code) {
    std::string text;
    engine::GetErrorText(code, &text);
    EXPECT_EQ(text.find("Ukonown"), std::string::npos) << code;
    EXPECT_LE(text.size(), 72u) << code;
  }
}

TEST(Catalogue, CodeLookupIsExact) {
  const std::pair<const char*, int> cases[] = {
      {"cs-CZ", 0}, {"de-DE", 1}, {"zh-CN", 13}, {"de-de", 14}, {"de-DE ", 14}, {"", 14}, {"ja-JP", 14},
  };
  for (const auto& [code, position] : cases) EXPECT_EQ(engine::FindLanguageByCode(code), position) << code;
}

TEST(FixedText, RefusesOrCutsByUtf16Units) {
  engine::FixedText<6> code;
  EXPECT_TRUE(code.Assign("de-DE"));
  EXPECT_FALSE(code.Assign("de-DE-"));
  EXPECT_EQ(code.Str(), "de-DE");
  code.AssignCut("\xC3\xA9\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80xyz");  // "ééé😀xyz": the emoji takes two units
  EXPECT_EQ(code.Str(), "\xC3\xA9\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80");
  code.AssignCut("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80");  // no room for half a pair
  EXPECT_EQ(code.Str(), "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");
}

TEST(Text, Utf16RoundTripAndMalformedInput) {
  const std::string samples[] = {"", "abc", "Espa\xC3\xB1ol", "\xE4\xB8\xAD\xE6\x96\x87", "\xF0\x9F\x98\x80"};
  for (const auto& s : samples) EXPECT_EQ(text::Utf16ToUtf8(text::Utf8ToUtf16(s)), s);
  EXPECT_EQ(text::Utf16Length("\xF0\x9F\x98\x80"), 2u);
  EXPECT_EQ(text::Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(text::Utf8ToUtf16("\xE4\xB8"), u"\uFFFD\uFFFD");  // cut short at the end
}

TEST(CommandLine, SplitsByTheWindowsRules) {
  struct Case {
    const char* line;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"expand D:\\p\\de.cab -F:langcfg.ini D:\\p", {"expand", "D:\\p\\de.cab", "-F:langcfg.ini", "D:\\p"}},
      {"expand \"D:\\Language Packs\\de.cab\" -F:x \"D:\\Language Packs\"",
       {"expand", "D:\\Language Packs\\de.cab", "-F:x", "D:\\Language Packs"}},
      {"dism.exe /packagepath:\"D:\\a b\\c.cab\"", {"dism.exe", "/packagepath:D:\\a b\\c.cab"}},
      {"\"C:\\Program Files\\t.exe\" a", {"C:\\Program Files\\t.exe", "a"}},
      {"t \"D:\\x y\\\\\" z", {"t", "D:\\x y\\", "z"}},
      {"t a\\\\\\\"b c\\d", {"t", "a\\\"b", "c\\d"}},
      {"  t   a\t b  ", {"t", "a", "b"}},
      {"t \"\"", {"t", ""}},
  };
  for (const auto& c : cases) EXPECT_EQ(text::SplitCommandLine(c.line), c.args) << c.line;
}

TEST(CommandLine, QuotedPathsSplitBackToThePath) {
  for (const std::string path : {"D:\\packs", "D:\\Language Packs", "D:\\Language Packs\\", "D:\\"}) {
    const auto args = text::SplitCommandLine("x " + engine::CommandLinePath(path));
    ASSERT_EQ(args.size(), 2u) << path;
    EXPECT_EQ(args[1], path);
  }
  EXPECT_EQ(engine::CommandLinePath("D:\\packs"), "D:\\packs");
}

TEST(IniFile, ReadsLikeGetPrivateProfileString) {
  sim::IniFile ini;
  ASSERT_TRUE(ini.Parse("\xEF\xBB\xBFjunk before\n; note\n[ LangInfo ]\n  language =  fr-FR  \nLanguage=xx\n"
                        "[Other]\nkey=\"quoted\"\nnoequals\n",
                        false, nullptr));
  EXPECT_EQ(ini.Get("LANGINFO", "Language"), "fr-FR");  // the first key wins
  EXPECT_EQ(ini.Get("other", "key"), "quoted");
  EXPECT_FALSE(ini.Get("LangInfo", "Missing").has_value());
  EXPECT_FALSE(ini.Get("Absent", "Language").has_value());

  const std::string utf16("\xFF\xFE[\0A\0]\0\n\0k\0=\0v\0", 16);
  ASSERT_TRUE(ini.Parse(utf16, false, nullptr));
  EXPECT_EQ(ini.Get("a", "k"), "v");
}

TEST(IniFile, StrictParsingNamesTheBadLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"[os]\nversion\n", "line 2: expected key=value"},
      {"key=value\n", "line 1: key outside any section"},
      {"[os\n", "line 1: section header without ']'"},
  };
  for (const auto& [content, message] : cases) {
    sim::IniFile ini;
    std::string error;
    EXPECT_FALSE(ini.Parse(content, true, &error)) << content;
    EXPECT_EQ(error, message);
  }
}

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

TEST(RegFile, RefusesMalformedFiles) {
  const char* cases[] = {
      "",
      "REGEDIT5\n",
      "Windows Registry Editor Version 5.00\n\"a\"=\"b\"\n",
      "Windows Registry Editor Version 5.00\n[K]\n\"a\"=hex(7):4g\n",
      "Windows Registry Editor Version 5.00\n[K]\n\"a\"=dword:123456789\n",
      "Windows Registry Editor Version 5.00\n[K]\n\"a\"=\"unterminated\n",
  };
  for (const char* content : cases) {
    sim::RegFile reg;
    std::string error;
    EXPECT_FALSE(reg.Parse(content, &error)) << content;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace kestrio
