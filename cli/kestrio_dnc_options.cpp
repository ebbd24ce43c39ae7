#include "cli/kestrio_dnc_options.h"

#include <algorithm>
#include <cstdlib>
#include <span>
#include <string_view>

#include "base/text.h"
#include "dnc/protocol.h"
#include "dnc/setup_variables.h"
#include "kestrio_version.h"

namespace kestrio::cli {
namespace {

using remote::OptionKind;

// Where an option's value goes: text as it is, a number or a flag by its
// number.
void Assign(std::string& field, const std::string& text, unsigned long) { field = text; }
template <class Number>
void Assign(Number& field, const std::string&, unsigned long number) {
  field = static_cast<Number>(number);
}

}  // namespace

#define KESTRIO_CLI_OPTION(name, value, commands, kind, low, high, what, field, deflt, one, fleet, help) \
  Option{name, value, commands, OptionKind::kind, low, high, what, deflt, one, fleet, help, nullptr,     \
         [](CommandLine& l, const std::string& t, unsigned long n) { Assign(l.field, t, n); }},
#define KESTRIO_CLI_SETTING(key, name, value, commands, kind, low, high, what, field, deflt, one, fleet, help) \
  Option{name, value, commands, OptionKind::kind, low, high, what, deflt, one, fleet, help, key,              \
         [](CommandLine& l, const std::string& t, unsigned long n) { Assign(l.run.field, t, n); }},
std::span<const Option> Options() {
  using namespace remote;  // the table's names: command::Any, kMaxCount
  static const Option rows[] = {KESTRIO_DNC_OPTIONS(KESTRIO_CLI_SETTING, KESTRIO_CLI_OPTION)};
  return rows;
}
#undef KESTRIO_CLI_OPTION
#undef KESTRIO_CLI_SETTING

// In the order --help lists them; the fleet commands are "fleet" and a word.
const Command kCommands[] = {
    {"read", remote::command::Read,
     "  read NAME...                  read variables: one prints its value, several print NAME=value\n"
     "                                lines (e.g. KESTRIO.STATUS, KESTRIO.NAME.0; a name without its\n"
     "                                table, as vars lists it, is the KESTRIO table's: STATUS, NAME.0)\n",
     "  kestrio-dnc --host 10.4.0.7 read KESTRIO.CURRENT\n"
     "  kestrio-dnc --host 10.4.0.7 read NITEMS NAME.0 NAME.1\n"},
    {"write", remote::command::Write,
     "  write NAME=VALUE...           write variables (several in one list write); prints ok\n",
     "  kestrio-dnc --host 10.4.0.7 write \"KESTRIO.ROOTDIR=D:\\LanguagePacks\"\n"
     "  kestrio-dnc --host 10.4.0.7 --timeout 20000 write KESTRIO.NEXT=French\n"},
    {"version", remote::command::Version,
     "  version                       print the version of the DNC protocol the service speaks;\n"
     "                                not this program's (--version) nor the setup's (read VERSION)\n",
     "  kestrio-dnc --host 10.4.0.7 version\n"
     "  kestrio-dnc --host cnc-07 --port 3874 --timeout 2000 version\n"},
    {"vars", remote::command::Vars,
     "  vars                          list the variables of the KESTRIO table, as read and write take\n"
     "                                them (NAME and ERROR take an index: NAME.0)\n",
     "  kestrio-dnc --host 10.4.0.7 vars\n"
     "  kestrio-dnc vars                                    (the service on this computer)\n"},
    {"change", remote::command::Change,
     "  change --root DIR --language NAME\n"
     "                                scan a folder of language packs on the machine (e.g.\n"
     "                                D:\\LanguagePacks) and change to a language the scan found\n",
     "  kestrio-dnc --host 10.4.0.7 change --root \"D:\\LanguagePacks\" --language French\n"
     "  kestrio-dnc --host 10.4.0.7 change --root \"D:\\LanguagePacks\" --language German --json cnc.json\n"},
    {"status", remote::command::Status,
     "  status                        the host's row of fleet status: protocol version, current\n"
     "                                language, status (idle, busy, or the last failure)\n",
     "  kestrio-dnc --host 10.4.0.7 status\n"
     "  kestrio-dnc --host 10.4.0.7 status --json\n"},
    {"fleet status", remote::command::FleetStatus,
     "  fleet status HOSTS            one row per host of the hosts file: reachable, protocol version,\n"
     "                                current language, status (idle, busy, or the last failure)\n",
     "  kestrio-dnc fleet status hosts\n"
     "  kestrio-dnc fleet status hosts --parallel 32 --timeout 2000\n"},
    {"fleet hosts", remote::command::FleetHosts,
     "  fleet hosts HOSTS [--json]    the hosts file as fleet status and change read it: one row per\n"
     "                                entry (line, name, address and port), or the line that makes\n"
     "                                them refuse it (exit status 2); --json: {\"hosts\": [{line, name,\n"
     "                                host, port, address}], \"error\", \"line\"} (the Ansible inventory reads it)\n",
     "  kestrio-dnc fleet hosts hosts\n"
     "  kestrio-dnc --port 3874 fleet hosts hosts --json hosts.json\n"},
    {"fleet change", remote::command::FleetChange,
     "  fleet change HOSTS --root DIR --language NAME [--parallel N] [--canary N] [--max-failures K]\n"
     "               [--json FILE]    change every host of the hosts file, at most N at once; a host\n"
     "                                already in that language is skipped.  Ctrl-C starts no new host\n"
     "                                and waits for those under way; a second Ctrl-C ends the client\n"
     "                                and leaves them under way in the report.\n"
     "  fleet change --retry REPORT [--json FILE] ...\n"
     "                                run again the hosts that failed, were under way or were not\n"
     "                                started in the report of an earlier fleet change (its hosts\n"
     "                                file, unchanged, its root folder, language and settings; an\n"
     "                                option given again overrides the report's); its report holds\n"
     "                                every host of the rollout, those not run again with their\n"
     "                                earlier result and run\n",
     "  kestrio-dnc fleet change hosts --root \"D:\\LanguagePacks\" --language Polish --canary 1 --json run.json\n"
     "  kestrio-dnc fleet change --retry run.json --json run.json\n"},
    {"fleet discover", remote::command::FleetDiscover,
     "  fleet discover RANGE... [--write HOSTS]\n"
     "                                probe the DNC port of every address of the ranges (an address,\n"
     "                                ADDRESS/PREFIX of at most 65,536 addresses, or FIRST-LAST); one row\n"
     "                                per Kestrio Setup that answers; --write adds them to a hosts file\n"
     "                                as cnc-ADDRESS, keeping its entries, names and comments (one that\n"
     "                                did not answer is marked \"not found by discover on DATE\")\n",
     "  kestrio-dnc fleet discover 10.4.0.0/22\n"
     "  kestrio-dnc fleet discover 10.4.0.1-10.4.0.50 10.5.0.7 --write hosts\n"},
};
const std::size_t kCommandCount = std::size(kCommands);

namespace {

constexpr const char* kHead =
    "kestrio-dnc: reads and writes the setup's variables over the DNC service, and runs a remote\n"
    "language change.\n"
    "\n"
    "usage: kestrio-dnc [OPTIONS] COMMAND [ARGUMENTS]; kestrio-dnc COMMAND --help: one command's\n"
    "options and examples\n"
    "\n"
    "commands:\n";

// The three versions a user meets, which is which.
std::string Versions() {
  return std::string("\nthree versions: kestrio-dnc --version prints this program's (" KESTRIO_VERSION_TEXT
                     "); the version command,\nthe DNC protocol's that the service speaks; read VERSION, the "
                     "setup's own on the CNC (this\nrelease's: ") +
         dnc::kVersionText + ").\n";
}

constexpr const char* kHostsFile =
    "\n"
    "hosts file: one host a line, NAME HOST[:PORT] or HOST[:PORT] (the port of --port by default);\n"
    "blank lines and # comments are allowed, also after an entry (a field that starts with #); UTF-8\n"
    "or Windows-1252 (\"ANSI\").  A name or a machine twice (by its resolved address and port:\n"
    "127.0.0.1, 127.1 and localhost are one) is refused.\n";

constexpr const char* kExitStatus =
    "\n"
    "exit status: 0 done; 1 an error reply, an engine error or a wait that ran out; 2 no connection\n"
    "or no usable answer, or a command line that cannot be sent; 3 (change) the machine did not\n"
    "answer again within --restart-timeout after the change (with --no-follow: the connection ended\n"
    "after the host accepted GO: the machine may be restarting).  fleet: 0 every host done or skipped\n"
    "(status: reachable; discover: a machine found); 1 some failed, were not reached or not started\n"
    "(discover: none found, or interrupted); 2 the hosts file or the arguments are unusable.\n";

const Option* Find(std::string_view name) {
  for (const Option& option : Options())
    if (name == option.name) return &option;
  return nullptr;
}

// The command names that follow `prefix` ("" for the first word, "fleet "
// for fleet's), once each, in the order of kCommands.
std::vector<std::string> CommandWords(std::string_view prefix) {
  std::vector<std::string> words;
  for (const Command& c : kCommands) {
    const std::string_view name = c.name;
    if (name.substr(0, prefix.size()) != prefix) continue;
    std::string word(name.substr(prefix.size()));
    word = word.substr(0, word.find(' '));
    if (std::find(words.begin(), words.end(), word) == words.end()) words.push_back(word);
  }
  return words;
}

// "a, b or c"
std::string OneOf(const std::vector<std::string>& words) {
  if (words.size() < 2) return text::Join(words, "");
  return text::Join(std::vector<std::string>(words.begin(), words.end() - 1), ", ") + " or " + words.back();
}

bool IsOneOf(const std::string& word, const std::vector<std::string>& words) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// A whole decimal number within [low, high].
std::optional<unsigned long> Number(const std::string& text, unsigned long low, unsigned long high) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value < low || value > high) return std::nullopt;
  return static_cast<unsigned long>(value);
}

// An option's lines in --help: its name and value in the first 32 columns,
// its help (and default) beside them, wrapped within 97.
void AppendOptionLines(std::string& out, const Option& option) {
  constexpr std::size_t kIndent = 32, kWidth = 97;
  std::string words = option.help;
  if (option.defaultText) words.append(" (").append(option.defaultText).append(")");
  std::size_t start = out.size();  // of the line being written
  out.append("  ").append(option.name);
  if (option.value) out.append(" ").append(option.value);
  out.push_back(' ');
  while (out.size() - start < kIndent) out.push_back(' ');
  bool lineEmpty = true;
  for (std::size_t k = 0; k < words.size();) {
    std::size_t end = words.find(' ', k);
    if (end == std::string::npos) end = words.size();
    if (!lineEmpty && out.size() - start + 1 + (end - k) > kWidth) {
      out.push_back('\n');
      start = out.size();
      out.append(kIndent, ' ');
      lineEmpty = true;
    }
    if (!lineEmpty) out.push_back(' ');
    out.append(words, k, end - k);
    lineEmpty = false;
    k = end + 1;
  }
  out.push_back('\n');
}

// Edits that turn one word into the other (a letter added, dropped,
// changed, or two side by side swapped).
std::size_t Distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// Of `candidates`, the one `word` is most likely a slip of (at most two
// letters added, dropped, changed or swapped, and fewer than half of it);
// empty: none.  An option's dashes are not part of the slip.
std::string Closest(const std::string& word, const std::vector<std::string>& candidates) {
  const auto bare = [](std::string_view w) {
    const std::size_t dashes = w.find_first_not_of('-');
    return dashes == std::string_view::npos ? std::string_view() : w.substr(dashes);
  };
  const std::string_view typed = bare(word);
  if (typed.size() > 64) return {};  // no word of ours is near it, and the table would be large
  std::string best;
  std::size_t bestDistance = 3;
  for (const std::string& candidate : candidates) {
    const std::size_t d = Distance(typed, bare(candidate));
    if (d < bestDistance && 2 * d < typed.size()) {
      best = candidate;
      bestDistance = d;
    }
  }
  return best;
}

// "unknown command "chnage": did you mean change?"
std::string Suggestion(const std::string& word, const std::vector<std::string>& candidates) {
  const std::string closest = Closest(word, candidates);
  return closest.empty() ? std::string() : ": did you mean " + closest + "?";
}

std::vector<std::string> OptionNames() {
  std::vector<std::string> names;
  for (const Option& option : Options()) names.push_back(option.name);
  return names;
}

// The command --help is asked about when it comes before it ("kestrio-dnc
// --help fleet change"): the words after it that name one.
void HelpCommand(const std::vector<std::string>& args, std::size_t from, const std::vector<std::string>& commands,
                 const std::vector<std::string>& fleetCommands, CommandLine& line) {
  for (std::size_t i = from; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("-", 0) == 0) {
      const Option* option = Find(arg);  // "--port 5": its value is no command
      if (option && option->value && option->kind != OptionKind::FileOrOut) ++i;
      continue;
    }
    if (line.command.empty() && IsOneOf(arg, commands)) line.command = arg;
    else if (line.command == "fleet" && line.values.empty() && IsOneOf(arg, fleetCommands)) line.values.push_back(arg);
    else break;
  }
}

}  // namespace

bool CommandLine::Given(const std::string& option) const {
  return std::find(given.begin(), given.end(), option) != given.end();
}

unsigned CommandLine::CommandBit() const {
  const std::string name = command == "fleet" && !values.empty() ? "fleet " + values[0] : command;
  for (const Command& c : kCommands)
    if (name == c.name) return c.bit;
  return command == "fleet" ? unsigned{remote::command::Fleet} : 0u;
}

std::string Usage(unsigned commandBit) {
  if (!commandBit) {
    std::string out = kHead;
    for (const Command& c : kCommands) out += c.usage;
    out.append(Versions()).append(kHostsFile).append("\noptions:\n");
    for (const Option& option : Options()) AppendOptionLines(out, option);
    return out + kExitStatus;
  }
  std::string out = "usage: kestrio-dnc [OPTIONS] COMMAND, the options before or after it:\n", examples;
  for (const Command& c : kCommands)
    if (c.bit & commandBit) {
      out += c.usage;
      examples += c.examples;
    }
  if (commandBit & remote::command::Fleet) out += kHostsFile;
  out += "\noptions:\n";
  for (const Option& option : Options())
    if (option.commands & commandBit) AppendOptionLines(out, option);
  return out + "\nexamples:\n" + examples +
         "\nkestrio-dnc --help: every command, the hosts file and the exit statuses\n";
}

std::optional<std::string> ParseCommandLine(const std::vector<std::string>& args, CommandLine& line) {
  const std::vector<std::string> commands = CommandWords(""), fleetCommands = CommandWords("fleet ");
  bool optionsEnded = false;
  const std::size_t count = args.size();
  for (std::size_t i = 1; i < count; ++i) {
    std::string arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (line.command.empty()) {
        if (!IsOneOf(arg, commands))
          return "unknown command \"" + arg + "\"" + Suggestion(arg, commands) + " (" + OneOf(commands) + ")";
        line.command = arg;
      } else if (line.command == "read" || line.command == "write") {
        line.values.push_back(arg);
      } else if (line.command == "fleet" && line.values.empty()) {
        if (!IsOneOf(arg, fleetCommands))
          return "fleet: unknown command \"" + arg + "\"" + Suggestion(arg, fleetCommands) + " (" +
                 OneOf(fleetCommands) + ")";
        line.values.push_back(arg);
      } else if (line.command == "fleet" && (line.values.size() == 1 || line.values[0] == "discover")) {
        line.values.push_back(arg);
      } else {
        return line.command + ": unexpected argument \"" + arg + "\"";
      }
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h") arg = "--help";
    std::string name = arg, value;
    bool hasValue = false;
    if (const auto equals = arg.find('='); equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      hasValue = true;
    }
    const Option* option = Find(name);
    if (!option) return "unknown option " + name + Suggestion(name, OptionNames());
    if (!option->value) {
      if (hasValue) return name + ": takes no value";
      option->set(line, {}, option->kind == OptionKind::Action ? 1 : 0);
      if (option->kind == OptionKind::Action) {  // --help, --version: nothing else counts but the command named
        if (line.help) HelpCommand(args, i + 1, commands, fleetCommands, line);
        return std::nullopt;
      }
      line.given.push_back(name);
      continue;
    }
    // --json alone (last, or before another option) is standard output.
    if (!hasValue && option->kind == OptionKind::FileOrOut && (i + 1 >= count || args[i + 1].rfind("--", 0) == 0)) {
      value = "-";
      hasValue = true;
    }
    if (!hasValue) {
      if (i + 1 >= count) return name + ": a value is missing";
      value = args[++i];
    }
    line.given.push_back(name);
    unsigned long number = 0;
    switch (option->kind) {
      case OptionKind::Number:
      case OptionKind::NumberOrNone:
        if (const auto n = Number(value, option->low, option->high)) number = *n;
        else return name + ": \"" + value + "\" is not " + option->what;
        break;
      case OptionKind::Text:
        if (value.empty() && option->what) return name + ": give " + option->what;
        break;
      case OptionKind::File:
      case OptionKind::FileOrOut:
        if (value.empty()) return name + ": give a file name";
        break;
      case OptionKind::Off:
      case OptionKind::Action: break;
    }
    option->set(line, value, number);
  }
  if (line.command.empty()) return "give a command: " + OneOf(commands);

  // Each option given to a command that takes it.
  const unsigned bit = line.CommandBit();
  const bool fleet = line.command == "fleet";
  for (const std::string& name : line.given) {
    const Option* option = Find(name);
    const char* refused = fleet ? option->refusedFleet : option->refusedOne;
    if (!(option->commands & bit)) return name + ": " + (refused ? refused : "not an option of " + line.command);
  }
  if (line.json == "-" && bit == remote::command::FleetChange) return "--json: fleet change writes its report to a file; give one";
  if (fleet) {
    const bool retry = !line.retry.empty();
    if (retry && line.values.size() == 2) return "--retry: the report names the hosts file; give none";
    for (const std::string& name : line.given)
      if (retry && (name == "--root" || name == "--language"))
        return name + ": --retry takes the root folder and the language from the report";
    if (line.values.size() < 2 && !retry)
      return line.values.size() == 1 && line.values[0] == "discover"
                 ? "fleet discover: give at least one address range"
                 : "fleet: give status, hosts or change and a hosts file, or discover and an address range";
  }
  if ((line.command == "read" || line.command == "write") && line.values.empty())
    return line.command == "read" ? "read: give at least one NAME" : "write: give at least one NAME=VALUE";
  return std::nullopt;
}

std::optional<std::string> CheckChangeArguments(const std::string& root, const std::string& language) {
  if (root.empty()) return "--root: give the folder of the language packs";
  if (language.empty()) return "--language: give a language name";
  for (const auto& [option, value] : {std::pair{"--root", &root}, std::pair{"--language", &language}}) {
    const dnc::Request request = dnc::WriteRequest("KESTRIO.NEXT", *value);
    if (!request.Ok()) return std::string(option) + ": " + request.problem;
  }
  return std::nullopt;
}

}  // namespace kestrio::cli
