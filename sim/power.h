// The simulated machine's power and start-up (Linux only): see power_posix.cpp.
#pragma once

#include <string>
#include <vector>

namespace kestrio::sim {

// Runs `command` as the machine in `dir` starts Kestrio Setup, restarting the
// machine whenever its package tool restarts Windows; returns when the
// program ends by itself or is closed, with its exit status.
int PowerOn(const std::string& dir, const std::vector<std::string>& command);

}  // namespace kestrio::sim
