// Windows command-line splitting (the rules of CommandLineToArgvW), so a
// command line means the same on the simulated machine as on Windows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrio::text {

std::vector<std::string> SplitCommandLine(std::string_view commandLine);

}  // namespace kestrio::text
