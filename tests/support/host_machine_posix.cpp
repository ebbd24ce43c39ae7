#include <cstdio>

#include "platform/posix/simulated.h"
#include "sim/machine.h"
#include "support/host_machine.h"

namespace kestrio::test {

bool UseHostMachine(const std::string& dir) {
  std::string error;
  if (dir.empty() || !sim::Machine::Load(dir, &error)) {
    std::fprintf(stderr, "%s\n", dir.empty() ? "--machine DIR is required (make one with kestrio-sim create)" : error.c_str());
    return false;
  }
  platform::posix::UseMachine(dir);
  return true;
}

}  // namespace kestrio::test
