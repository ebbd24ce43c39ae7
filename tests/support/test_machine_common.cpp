#include <gtest/gtest.h>

#include <sstream>

#include "support/test_machine.h"

namespace kestrio::test {

sim::Machine TestMachine::Load() const {
  std::string error;
  auto m = sim::Machine::Load(dir_, &error);
  if (!m) ADD_FAILURE() << error;
  return m ? std::move(*m) : sim::Machine::Fresh(dir_);
}

void TestMachine::Change(const std::function<void(sim::Machine&)>& edit) {
  sim::Machine m = Load();
  edit(m);
  std::string error;
  ASSERT_TRUE(m.Save(&error)) << error;
}

std::vector<std::string> TestMachine::Commands() const {
  std::string bytes;
  sim::ReadWholeFile(dir_ + "/" + std::string(sim::kCommandsLog), bytes);
  std::vector<std::string> lines;
  std::istringstream in(bytes);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> TestMachine::CommandsOf(std::string_view program) const {
  std::vector<std::string> out;
  for (const auto& line : Commands())
    if (line.compare(0, program.size() + 1, std::string(program) + " ") == 0) out.push_back(line);
  return out;
}

void TestMachine::ClearCommands() { sim::WriteFileAtomically(dir_ + "/" + std::string(sim::kCommandsLog), "", nullptr); }

}  // namespace kestrio::test
