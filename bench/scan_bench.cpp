// Pack scan benchmark: a tree of 50,000 ordinary files in 2,000 folders and
// 200 cabinets that are not language packs, on a simulated machine.  Prints
// the scan's time beside `find ROOT -name '*.cab'` over the same tree (the
// cost of the walk alone) and what each cabinet adds.
//
//   scan_bench KESTRIO-SIM [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <string>
#include <vector>

#include "engine/discovery.h"
#include "engine/language.h"
#include "platform/simulated_posix.h"
#include "sim/cabinet.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTopFolders = 40;
constexpr int kSubFolders = 49;  // 40 + 40 * 49 = 2,000 folders
constexpr int kFiles = 50'000;
constexpr int kCabinets = 200;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename F>
double Seconds(F&& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: scan_bench KESTRIO-SIM [RUNS]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const fs::path base = fs::temp_directory_path() / ("kestrio-bench-" + std::to_string(::getpid()));
  const std::string machine = (base / "machine").string();
  const std::string create = std::string("'") + argv[1] + "' create '" + machine + "' --installed de-DE";
  if (std::system(create.c_str()) != 0) return 1;
  kestrio::platform::posix::UseMachine(machine);

  const fs::path root = base / "machine" / "D" / "tree";
  std::vector<fs::path> folders;
  for (int t = 0; t < kTopFolders; ++t) {
    const fs::path top = root / ("dir" + std::to_string(t));
    folders.push_back(top);
    for (int s = 0; s < kSubFolders; ++s) folders.push_back(top / ("sub" + std::to_string(s)));
  }
  for (const auto& f : folders) fs::create_directories(f);
  for (int i = 0; i < kFiles; ++i) {
    std::ofstream(folders[static_cast<std::size_t>(i) % folders.size()] / ("file" + std::to_string(i) + ".dat"))
        << "data " << i << '\n';
  }
  const fs::path sample = base / "sample.cab";
  std::string error;
  if (!kestrio::sim::WriteCabinet(sample.string(), {{"readme.txt", "not a language pack"}}, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  for (int i = 0; i < kCabinets; ++i)
    fs::copy_file(sample, folders[static_cast<std::size_t>(i * 10) % folders.size()] / ("extra" + std::to_string(i) + ".cab"));

  std::vector<double> scans, finds;
  for (int r = 0; r < runs; ++r) {
    const std::string find = "find '" + root.string() + "' -name '*.cab' > /dev/null";
    finds.push_back(Seconds([&] { (void)std::system(find.c_str()); }));
    std::int32_t found = -1;
    scans.push_back(Seconds([&] { found = kestrio::engine::ScanLanguagePacks("D:\\tree"); }));
    if (found != 0) {
      std::fprintf(stderr, "unexpected scan result %d\n", found);
      return 1;
    }
  }
  const double scan = Median(scans), find = Median(finds);
  std::printf("tree: %d files in %zu folders, %d cabinets that are not language packs; median of %d runs\n", kFiles,
              folders.size(), kCabinets, runs);
  std::printf("find ROOT -name '*.cab'   %8.3f s   (baseline)\n", find);
  std::printf("ScanLanguagePacks         %8.3f s   %.1fx the baseline\n", scan, scan / find);
  std::printf("per cabinet               %8.2f ms  (scan less baseline, over %d cabinets)\n",
              (scan - find) * 1000.0 / kCabinets, kCabinets);
  fs::remove_all(base);
  return 0;
}
