// The one way the engine starts a system tool.
#pragma once

#include <cstdint>
#include <string>

namespace kestrio::engine {

// Runs `commandLine` hidden and waits for it without a time-out.  Returns 1
// with `exitCode` set when the process ran and ended; 0 when it could not be
// started or waited for, leaving `exitCode` as it was.
std::int32_t RunProgram(std::string& commandLine, std::uint32_t& exitCode);

}  // namespace kestrio::engine
