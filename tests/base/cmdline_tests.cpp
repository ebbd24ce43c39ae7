// Command lines split by the Windows rules.
#include <gtest/gtest.h>

#include "base/cmdline.h"
#include "engine/discovery.h"

namespace kestrio {
namespace {

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

}  // namespace
}  // namespace kestrio
