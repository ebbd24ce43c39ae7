// INI files read as GetPrivateProfileString reads them.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "base/ini_file.h"

namespace kestrio {
namespace {

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

TEST(IniFile, WritesBackEveryValueSoThatItReadsTheSame) {
  sim::IniFile ini;
  ASSERT_TRUE(ini.Parse("[s]\nplain=a b\nblanks=\"  a \t\"\nquotes='\"a\"'\nsingle=\"'a'\"\nempty=\n", true, nullptr));
  sim::IniFile again;
  ASSERT_TRUE(again.Parse(ini.Serialize(), true, nullptr));
  for (const auto& [key, value] : std::vector<std::pair<const char*, const char*>>{
           {"plain", "a b"}, {"blanks", "  a \t"}, {"quotes", "\"a\""}, {"single", "'a'"}, {"empty", ""}}) {
    EXPECT_EQ(ini.Get("s", key), value) << key;
    EXPECT_EQ(again.Get("s", key), value) << key;
  }
}

}  // namespace
}  // namespace kestrio
