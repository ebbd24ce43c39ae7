#include "engine/runner.h"

#include "platform/platform.h"

namespace kestrio::engine {

std::int32_t RunProgram(std::string& commandLine, std::uint32_t& exitCode) {
  std::uint32_t code = 0;
  if (!platform::RunHiddenProcess(commandLine, code)) return 0;
  exitCode = code;
  return 1;
}

}  // namespace kestrio::engine
