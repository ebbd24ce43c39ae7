#include "base/cmdline.h"

namespace kestrio::text {

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t i = 0;
  while (i < line.size() && blank(line[i])) ++i;
  if (i >= line.size()) return args;

  // The program name: quotes group, backslashes are plain characters.
  std::string first;
  if (line[i] == '"') {
    ++i;
    while (i < line.size() && line[i] != '"') first += line[i++];
    if (i < line.size()) ++i;
  } else {
    while (i < line.size() && !blank(line[i])) first += line[i++];
  }
  args.push_back(first);

  for (;;) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i >= line.size()) break;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !blank(line[i]))) {
      if (line[i] == '\\') {
        std::size_t slashes = 0;
        while (i < line.size() && line[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < line.size() && line[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          arg += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg += line[i++];
      }
    }
    args.push_back(arg);
  }
  return args;
}

}  // namespace kestrio::text
