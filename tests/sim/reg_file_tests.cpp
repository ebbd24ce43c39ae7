// registry.reg written back after a reading that skipped bad lines: read
// again, every value is where it was, and the skipped lines still belong to
// no key.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/reg_file.h"

namespace kestrio {
namespace {

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
