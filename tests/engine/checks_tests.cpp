// The system checks before a change, on simulated machines.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "engine/checks.h"
#include "engine/language.h"
#include "platform/platform.h"
#include "sim/tools.h"
#include "support/test_machine.h"

namespace kestrio::engine {
namespace {

using test::MachineOptions;
using test::TestMachine;
using Edit = std::function<void(sim::Machine&)>;

TEST(OperatingSystemCheck, AcceptsOnlyVersionSixWithTheEmbeddedSuite) {
  struct Case {
    const char* label;
    const char* version;
    std::vector<std::string> suite;
    std::int32_t status;
  };
  const Case cases[] = {
      {"windows 7 embedded", "6.1.7601", {"Terminal Server", "EmbeddedNT"}, kOk},
      {"any minor version of 6", "6.3.9600", {"Terminal Server", "EmbeddedNT"}, kOk},
      {"version 5", "5.1.2600", {"Terminal Server", "EmbeddedNT"}, kErrOsVersion},
      {"version 10", "10.0.19045", {"Terminal Server", "EmbeddedNT"}, kErrOsVersion},
      {"embedded as the first string", "6.1.7601", {"EmbeddedNT"}, kErrOsVersion},
      {"first string of another length", "6.1.7601", {"Terminal Servers", "EmbeddedNT"}, kErrOsVersion},
      {"capitals", "6.1.7601", {"Terminal Server", "EMBEDDEDNT"}, kErrOsVersion},
      {"data ends before the edition", "6.1.7601", {"Terminal"}, kErrOsVersion},
  };
  for (const auto& c : cases) {
    TestMachine machine;
    machine.SetProductSuite(c.suite);
#ifdef _WIN32
    if (std::string(c.version) != "6.1.7601") continue;  // Wine reports its own version
#else
    machine.Change([&](sim::Machine& m) { m.Ini().Set("os", "version", c.version); });
#endif
    EXPECT_EQ(CheckOperatingSystem(), c.status) << c.label;
  }
}

TEST(WriteFilterCheck, RefusesOnlyAVolumeProtectedNow) {
  using Library = TestMachine::FilterLibrary;
  struct Case {
    const char* label;
    Library library;
    std::vector<std::pair<const char*, const char*>> facts;
    std::int32_t status;
  };
  const Case cases[] = {
      {"filter off", Library::Installed, {}, kOk},
      {"filter on, C: protected now", Library::Installed, {{"enabled", "1"}, {"protected", "1"}}, kErrProtected},
      {"filter on, C: protected next session only", Library::Installed, {{"enabled", "1"}, {"protected_next", "1"}},
       kOk},
      {"filter off now, on next session", Library::Installed, {{"enabled_next", "1"}, {"protected", "1"}}, kOk},
      {"filter library fails", Library::Installed, {{"fail", "1"}}, kErrProtected},
      {"image without the filter library", Library::Missing, {{"enabled", "1"}, {"protected", "1"}}, kOk},
      {"filter library that does not load", Library::Unloadable, {}, kErrProtected},
      {"filter library without its functions", Library::WithoutFunctions, {}, kErrProtected},
  };
  for (const auto& c : cases) {
    TestMachine machine;
    machine.Change([&](sim::Machine& m) {
      for (const auto& [key, value] : c.facts) m.Ini().Set("fbwf", key, value);
    });
    machine.SetFilterLibrary(c.library);
    EXPECT_EQ(CheckWriteFilter(), c.status) << c.label;
  }
}

#ifdef _WIN32
TEST(WriteFilterCheck, AsksOnlyTheLibraryOfTheSystemFolder) {
  // One beside the program, lacking the functions, would make the check fail;
  // the system's own says the filter is off.
  TestMachine machine;
  machine.PlantFilterLibraryBesideTheProgram();
  EXPECT_EQ(CheckWriteFilter(), kOk);
  machine.SetFilterLibrary(TestMachine::FilterLibrary::Missing);
  EXPECT_EQ(CheckWriteFilter(), kOk);
}
#endif

#ifndef _WIN32  // under Wine the free space is the host's own
TEST(FreeSpaceCheck, ThresholdDependsOnTheRollup) {
  struct Case {
    std::uint64_t freeBytes;
    int rollup;
    std::int32_t status;
  };
  const Case cases[] = {
      {419'430'400, 0, kOk},           {419'430'399, 0, kErrFreeSpace}, {500'000'000, 1, kErrFreeSpace},
      {786'432'000, 1, kOk},           {786'431'999, 1, kErrFreeSpace},
  };
  for (const auto& c : cases) {
    TestMachine machine;
    machine.Change([&](sim::Machine& m) { m.Ini().Set("disk", "free_bytes", std::to_string(c.freeBytes)); });
    Engine().RollupInstalled = c.rollup;
    EXPECT_EQ(CheckFreeSpace(), c.status) << c.freeBytes << " rollup " << c.rollup;
  }
  TestMachine machine;
  machine.Change([](sim::Machine& m) { m.Ini().Set("disk", "fail", "1"); });
  EXPECT_EQ(CheckFreeSpace(), kErrDiskQuery);
}
#endif

#ifdef _WIN32
// Under Wine C: is a folder of the host: GetDiskFreeSpaceExW answers with its
// disk's free space, which the test runner measured beforehand (free blocks,
// and those free to users; the disk is shared, so within 1 GiB).
TEST(FreeSpaceCheck, AsksTheSystemVolumeItself) {
  const char* measured = std::getenv("KESTRIO_HOST_FREE_BYTES");
  if (measured == nullptr) GTEST_SKIP() << "the runner measured no free space";
  unsigned long long all = 0, users = 0;
  ASSERT_EQ(std::sscanf(measured, "%llu %llu", &all, &users), 2) << measured;
  TestMachine machine;
  std::uint64_t freeBytes = 0;
  ASSERT_TRUE(platform::QueryTotalFreeBytes("C:\\", freeBytes));
  constexpr std::uint64_t kSlack = 1ull << 30;
  const auto near = [&](std::uint64_t expected) {
    return freeBytes + kSlack >= expected && freeBytes <= expected + kSlack;
  };
  EXPECT_TRUE(near(all) || near(users)) << freeBytes << " against " << measured;
  for (int rollup : {0, 1}) {
    Engine().RollupInstalled = rollup;
    const std::uint64_t required = rollup ? kFreeBytesRequiredRollup : kFreeBytesRequired;
    EXPECT_EQ(CheckFreeSpace(), freeBytes >= required ? kOk : kErrFreeSpace) << "rollup " << rollup;
  }
  std::uint64_t none = 0;
  EXPECT_FALSE(platform::QueryTotalFreeBytes("Q:\\", none)) << "a drive Wine does not map";
}
#endif

TEST(UpdatePackageCheck, LooksOnlyInTheWorkingDirectory) {
  TestMachine machine;
  machine.MakeUpdateCabinet(machine.PackRoot());
  EXPECT_EQ(CheckUpdatePackage(), kErrUpdatePackage);
  machine.MakeUpdateCabinet(machine.WorkDir());
  EXPECT_EQ(CheckUpdatePackage(), kOk);
}

}  // namespace
}  // namespace kestrio::engine
