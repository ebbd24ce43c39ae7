// The error table, the catalogue and the fixed-width texts of the engine.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "engine/language.h"

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

#ifdef KESTRIO_README_WINDOWS
// The technician's README and kestrio-dnc tell one remedy for an error: the
// README's entry of the message (up to the next entry or the end of its
// group) holds the remedy kestrio-dnc prints, in any case and line breaks.
TEST(ErrorText, TheTechniciansReadmeGivesEachRemedyUnderItsMessage) {
  std::ifstream file(KESTRIO_README_WINDOWS, std::ios::binary);
  ASSERT_TRUE(file) << KESTRIO_README_WINDOWS;
  std::stringstream whole;
  whole << file.rdbuf();
  std::string readme = whole.str();
  std::erase(readme, '\r');
  const auto plain = [](std::string_view text) {  // blanks as one space, lower case
    std::string out;
    for (const char c : text) {
      if (std::isspace(static_cast<unsigned char>(c))) {
        if (!out.empty() && out.back() != ' ') out.push_back(' ');
      } else {
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
      }
    }
    return out;
  };
  int remedies = 0;
  for (const auto& error : engine::ErrorTable) {
    const char* remedy = engine::RemedyOf(error.code);
    if (!remedy) continue;
    ++remedies;
    const std::string quoted = "\n  \"" + std::string(error.text) + "\"\n";
    const auto at = readme.find(quoted);
    ASSERT_NE(at, std::string::npos) << "no entry for " << error.text;
    const auto start = at + quoted.size();
    const auto end = std::min(readme.find("\n  \"", start), readme.find("\n\n", start));
    EXPECT_NE(plain(readme.substr(start, end - start)).find(plain(remedy)), std::string::npos)
        << error.code << ": the entry of \"" << error.text << "\" lacks \"" << remedy << "\"";
  }
  EXPECT_GE(remedies, 5);
}
#endif

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

}  // namespace
}  // namespace kestrio
