// Selects the machine a test program works on: a simulated machine directory
// on Linux (required), the machine itself on Windows.
#pragma once

#include <string>

namespace kestrio::test {

bool UseHostMachine(const std::string& dir);

}  // namespace kestrio::test
