// The command runner: the tools' exit statuses, on a simulated machine.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "engine/installed.h"
#include "engine/language.h"
#include "engine/runner.h"
#include "support/test_machine.h"

namespace kestrio::engine {
namespace {

using test::MachineOptions;
using test::TestMachine;

using namespace std::string_literals;

TEST(RunProgram, MissingProgramIsNotStartedAndLeavesTheExitCode) {
  TestMachine machine;
  std::string command = "no-such-tool.exe /x";
  std::uint32_t exitCode = 12345;
  EXPECT_EQ(RunProgram(command, exitCode), 0);
  EXPECT_EQ(exitCode, 12345u);
}

TEST(RunProgram, PassesTheToolsFullExitStatus) {
  TestMachine machine;
  for (std::uint32_t status : {0u, 1u, 3010u, 0x800F0818u}) {
    machine.Change([&](sim::Machine& m) { m.Ini().Set("exit", "bcdedit", std::to_string(status)); });
    std::string command = "bcdedit /set {current} locale de-DE";
    std::uint32_t exitCode = 7;
    EXPECT_EQ(RunProgram(command, exitCode), 1);
    EXPECT_EQ(exitCode, status);
  }
}

#ifndef _WIN32
TEST(RunProgram, ToolThatCannotBeWaitedForIsAFailureNotStatusZero) {
  TestMachine machine;
  // With SIGCHLD ignored an ended child is reaped at once and waitpid fails:
  // the tool's exit status is lost.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &previous), 0);
  std::string command = "bcdedit /set {current} locale de-DE";
  std::uint32_t exitCode = 7;
  const std::int32_t started = RunProgram(command, exitCode);
  ::sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_EQ(started, 0);
  EXPECT_EQ(exitCode, 7u);
}
#endif

}  // namespace
}  // namespace kestrio::engine
