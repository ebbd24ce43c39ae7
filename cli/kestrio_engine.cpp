// kestrio-engine: the language change engine from a command line, for people
// who want to see what the program would find and do on a machine without
// the dialog.  On Linux it works on a simulated machine (--machine).
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "engine/change.h"
#include "engine/discovery.h"
#include "engine/installed.h"
#include "engine/language.h"
#include "platform/machine_option.h"

namespace {

using namespace kestrio::engine;

int Report(std::int32_t status) {
  std::string text;
  GetErrorText(status, &text);
  std::cerr << "kestrio-engine: " << text << " (" << status << ")\n";
  return 1;
}

void PrintCurrent() {
  std::string name;
  if (GetCurrentLanguage(name) == kOk)
    std::cout << "Current language: " << name << " (" << Engine().CurrentLanguage.code.Str() << ")\n";
  else
    std::cout << "Current language: unknown (An error ocurred getting the current language)\n";
}

int Status() {
  PrintCurrent();
  if (const std::int32_t rc = QueryInstalledPackages(); rc != kOk) return Report(rc);
  int count = 0;
  for (const auto& slot : Engine().InstalledPacks) count += slot.package.Empty() ? 0 : 1;
  std::cout << "Installed language packs: " << count << "\n";
  for (const auto& slot : Engine().InstalledPacks)
    if (!slot.package.Empty()) std::printf("  %-11s %s\n", slot.name.Str().c_str(), slot.package.Str().c_str());
  std::cout << "Rollup package: " << (Engine().RollupInstalled ? "installed" : "not installed") << "\n";
  return 0;
}

int Scan(const std::string& root) {
  std::cout << "Scanning " << root << " for language packs..." << std::endl;
  const std::int32_t found = ScanLanguagePacks(root);
  if (found < 0) return Report(found);
  std::cout << "Found " << found << " language pack" << (found == 1 ? "" : "s") << ":\n";
  for (std::int32_t i = 0; i < found; ++i) {
    const auto& pack = Engine().DiscoveredPacks[static_cast<std::size_t>(i)];
    std::printf("  %2d  %-11s %-6s %s\n", static_cast<int>(i), pack.name.Str().c_str(), pack.code.Str().c_str(),
                pack.package.Str().c_str());
  }
  return 0;
}

int Change(const std::string& root, const std::string& language) {
  PrintCurrent();
  if (const int rc = Scan(root); rc != 0) return rc;
  std::cout << "Changing the language to " << language
            << " (install, boot locale, removal of the other packs)..." << std::endl;
  const std::int32_t rc = ChangeLanguage(language);
  if (rc != kOk) return Report(rc);
  std::cout << "The language is now " << language << " after the restart, which the package tool carries out.\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"kestrio-engine: the current language, the installed and available language packs, and the "
               "language change, without the dialog."};
  app.require_subcommand(1);
  std::string machine, root, language;
  kestrio::tools::AddMachineOption(app, machine);
  auto* status = app.add_subcommand("status", "show the current language, the installed packs and the rollup flag");
  auto* scan = app.add_subcommand("scan", "find the language packs under ROOT");
  scan->add_option("ROOT", root, "language-pack root directory (a Windows path)")->required();
  auto* change = app.add_subcommand("change", "scan ROOT, then change the language to NAME");
  change->add_option("ROOT", root, "language-pack root directory (a Windows path)")->required();
  change->add_option("NAME", language, "language name as the scan shows it, e.g. Spanish")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  if (std::string error; !kestrio::tools::SelectMachine(machine, error)) {
    std::cerr << "kestrio-engine: " << error << "\n";
    return 2;
  }
  if (*status) return Status();
  if (*scan) return Scan(root);
  return Change(root, language);
}
