// The fleet module without hosts behind it: the hosts file, the report, and
// a run that is stopped before it starts.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "base/json.h"
#include "remote/discover.h"
#include "remote/fleet.h"
#include "remote/report.h"

namespace kestrio::remote {
namespace {

struct HostsCase {
  const char* what;
  const char* text;
  const char* hosts;  // "name=host:port;..." when usable
  const char* error;  // the error when not
};

// The system's resolver as the rows need it: a dotted quad (or the short
// forms 127.1 and 0) is its address, a few names resolve, any other does not.
bool FakeResolve(const std::string& host, std::uint32_t& address) {
  static const std::map<std::string, std::uint32_t> known{
      {"127.1", 0x7F000001}, {"localhost", 0x7F000001}, {"0", 0}, {"lathe-3.plant", 0x7F4D0003}};
  if (const auto it = known.find(host); it != known.end()) {
    address = it->second;
    return true;
  }
  unsigned a, b, c, d;
  char rest;
  if (std::sscanf(host.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &rest) != 4 || a > 255 || b > 255 || c > 255 ||
      d > 255)
    return false;
  address = a << 24 | b << 16 | c << 8 | d;
  return true;
}

std::string Listed(const std::vector<HostEntry>& hosts) {
  std::string out;
  for (const auto& h : hosts) out += h.name + "=" + h.Address() + "@" + std::to_string(h.line) + ";";
  return out;
}

TEST(FleetHostsFile, AcceptsGoodLinesAndNamesTheFirstBadLine) {
  const HostsCase cases[] = {
      {"name and address with its port", "cnc01 10.0.0.1:4000\n", "cnc01=10.0.0.1:4000@1;", ""},
      {"the default port", "cnc01 10.0.0.1\n", "cnc01=10.0.0.1:3873@1;", ""},
      {"the address alone is the name", "10.0.0.2:99", "10.0.0.2:99=10.0.0.2:99@1;", ""},
      {"a UTF-8 byte order mark", "\xEF\xBB\xBF" "10.0.0.2\n", "10.0.0.2=10.0.0.2:3873@1;", ""},
      // Notepad's "ANSI": the names a report keeps and a retry looks for are UTF-8.
      {"Windows-1252 names", "Fr\xE4se-1 10.0.0.1\nFr\xE4se-2 10.0.0.2 # M\xFChle\n",
       "Fr\xC3\xA4se-1=10.0.0.1:3873@1;Fr\xC3\xA4se-2=10.0.0.2:3873@2;", ""},
      {"UTF-8 names stay", "Fr\xC3\xA4se-1 10.0.0.1\n", "Fr\xC3\xA4se-1=10.0.0.1:3873@1;", ""},
      {"one name in both encodings is one name", "Fr\xE4se-1 10.0.0.1\nFr\xC3\xA4se-1 10.0.0.2\n", "",
       "line 2: the name Fr\xC3\xA4se-1 is also on line 1"},
      {"blank lines, comments, tabs, CRLF", "# floor 2\r\n\r\n  \t\n\tcnc01\t10.0.0.1 \r\n  # off: cnc02\ncnc03 h3\n",
       "cnc01=10.0.0.1:3873@4;cnc03=h3:3873@6;", ""},
      {"three fields", "cnc01 10.0.0.1 4000\n", "", "line 1: expected NAME HOST[:PORT] or HOST[:PORT], found 3 fields"},
      {"a comment after the address", "cnc01 10.0.0.1 # hall 2\nb 10.0.0.2:99\t#x\n10.0.0.3 #\n",
       "cnc01=10.0.0.1:3873@1;b=10.0.0.2:99@2;10.0.0.3=10.0.0.3:3873@3;", ""},
      {"a '#' inside a name is no comment", "cnc#1 10.0.0.1\n", "cnc#1=10.0.0.1:3873@1;", ""},
      {"three fields before a comment", "cnc01 10.0.0.1 4000 # x\n", "", "line 1: expected NAME HOST[:PORT]"},
      {"port 0", "# x\ncnc01 10.0.0.1:0\n", "", "line 2: \"0\" in \"10.0.0.1:0\" is not a port from 1 to 65535"},
      {"port too large", "cnc01 h:65536\n", "", "line 1: \"65536\" in \"h:65536\" is not a port"},
      {"empty port", "cnc01 h:\n", "", "line 1: \"\" in \"h:\" is not a port"},
      {"no host", "cnc01 :4000\n", "", "line 1: \":4000\" has no host"},
      {"a second colon", "cnc01 h:1:2\n", "", "line 1: \"1:2\" in \"h:1:2\" is not a port"},
      {"a name twice", "a h1\nb h2\na h3\n", "", "line 3: the name a is also on line 1"},
      // Two clients on one service would change one machine twice.
      {"an address twice", "a h1\nb h1:3873\n", "", "line 2: h1:3873 is also on line 1"},
      {"a control character", "cnc01 h1\x01\n", "", "line 1: a control character"},
      {"no hosts at all", "# nothing\n\n", "", "no hosts"},
      {"a bad line after good ones starts nothing", "a h1\nb h2\nc h3:x\n", "", "line 3:"},
  };
  for (const auto& c : cases) {
    const HostsFile file = ParseHosts(c.text, 3873);
    if (*c.error) {
      EXPECT_EQ(file.error.rfind(c.error, 0), 0u) << c.what << ": " << file.error;
      EXPECT_TRUE(file.hosts.empty()) << c.what;
    } else {
      EXPECT_TRUE(file.Ok()) << c.what << ": " << file.error;
      EXPECT_EQ(Listed(file.hosts), c.hosts) << c.what;
    }
  }
}

// A stop before the run: nothing is contacted (the address would not
// answer), every host is reported as not started, and the report says so.
TEST(FleetChangeRun, StoppedBeforeStartStartsNoHostAndReportsEachOne) {
  HostsFile file = ParseHosts("a\"b\\c 192.0.2.1:1\nb 192.0.2.1:2\n", 3873);
  ASSERT_TRUE(file.Ok()) << file.error;
  ChangeSettings settings;
  settings.change.root = "D:\\Packs";
  settings.change.language = "Polish";
  settings.parallel = 2;
  FleetChange run(file.hosts, settings);
  std::atomic<bool> stop{true};
  std::vector<std::string> seen;
  run.Run(stop, [&](const HostReport& r) { seen.push_back(r.host.name + " " + StateName(r.state)); });
  EXPECT_EQ(seen, (std::vector<std::string>{"a\"b\\c not started", "b not started"}));
  const auto reports = run.Snapshot();
  const Summary s = Summarize(reports);
  EXPECT_EQ(s.notStarted, 2u);
  EXPECT_EQ(s.done + s.skipped + s.failed, 0u);

  const std::string json = JsonReport(settings, reports, true, "interrupted", true);
  for (const char* part : {"\"root\": \"D:\\\\Packs\"", "\"interrupted\": true", "\"finished\": true",
                           "\"summary\": {\"done\": 0, \"skipped\": 0, \"failed\": 0, \"under_way\": 0, \"not_started\": 2}",
                           "{\"name\": \"a\\\"b\\\\c\", \"address\": \"192.0.2.1:1\", \"result\": \"not started\", "
                           "\"code\": 0, \"text\": \"interrupted\", "
                           "\"seconds\": {\"scan\": 0.000, \"change\": 0.000, \"total\": 0.000}, \"run\": 1}"})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
}

// The report is what a retry reads back, written while hosts are under way:
// every state has its result, and any bytes a machine sent become UTF-8.
TEST(FleetReport, WritesEveryStateAndAnyTextAsValidJson) {
  const struct {
    State state;
    const char* text;
    const char* written;
  } cases[] = {
      {State::Waiting, "", "\"result\": \"not started\", \"code\": 0, \"text\": \"\""},
      {State::Scanning, "", "\"result\": \"under way\""},
      {State::Changing, "", "\"result\": \"under way\""},
      {State::Failed, "line\nnext\ttab", "\"result\": \"failed\", \"code\": -10, \"text\": \"line\\u000anext\\u0009tab\""},
      {State::Failed, "Espa\xF1ol \x80", "\"text\": \"Espa\xC3\xB1ol \xE2\x82\xAC\""},  // the ANSI code page
      {State::Done, "\xC3\xA9t\xC3\xA9", "\"result\": \"done\", \"code\": 0, \"text\": \"\xC3\xA9t\xC3\xA9\""},
  };
  ChangeSettings settings;
  settings.port = 4000;
  settings.timeoutMs = 700;
  for (const auto& c : cases) {
    HostReport r;
    r.host.name = "cnc\t1";
    r.host.host = "10.0.0.1";
    r.host.port = 4000;
    r.state = c.state;
    r.code = c.state == State::Failed ? -10 : 0;
    r.text = c.text;
    const std::string json = JsonReport(settings, {r}, false, "", false);
    EXPECT_NE(json.find(c.written), std::string::npos) << c.written << "\n" << json;
    EXPECT_NE(json.find("\"name\": \"cnc\\u00091\", \"address\": \"10.0.0.1:4000\""), std::string::npos) << json;
    for (const char* part : {"\"port\": 4000,", "\"timeout_ms\": 700,", "\"finished\": false,"})
      EXPECT_NE(json.find(part), std::string::npos) << part;
    EXPECT_TRUE(json::Parse(json).Ok()) << json;
  }
  // A plant's report of 5,000 hosts reads back whole.
  std::vector<HostReport> many(5000);
  for (std::size_t k = 0; k < many.size(); ++k) {
    many[k].host.name = "cnc" + std::to_string(k);
    many[k].state = k % 2 ? State::Failed : State::Done;
    many[k].text = std::string(200, 'x');
  }
  settings.change.root = "D:\\Packs";
  settings.change.language = "Polish";
  settings.hostsFile = "hosts";
  settings.hostsFingerprint = "fnv1a64:00";
  const RetryPlan plan = ReadRetryPlan(JsonReport(settings, many, false));
  EXPECT_TRUE(plan.Ok()) << plan.error;
  EXPECT_EQ(plan.names.size(), 2500u);
}

// Below the summary: the failed and the not-started hosts by name, in the
// run's order, and each error a person can mend once, with all its hosts.
TEST(FleetReport, TheSummaryNamesTheHostsAndWhatToMendOncePerError) {
  const std::pair<State, std::int32_t> runs[] = {
      {State::Done, 0},    {State::Failed, -10}, {State::Failed, -6},     {State::Failed, -10},
      {State::NotStarted, 0}, {State::Failed, 0}, {State::Failed, -11}, {State::Skipped, 0},
  };
  std::vector<HostReport> reports;
  for (const auto& [state, code] : runs) {
    reports.emplace_back();
    reports.back().host.name = std::string(1, static_cast<char>('a' + reports.size() - 1));
    reports.back().state = state;
    reports.back().code = code;
  }
  const std::vector<std::string> lines = NamedSummary(reports, "AGAIN");
  ASSERT_EQ(lines.size(), 4u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "failed: b, c, d, f, g");
  EXPECT_EQ(lines[1], "not started: e");
  EXPECT_EQ(lines[2].rfind("  b, d: \"System is protected.", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3].rfind("  g: \"Insufficient free space.\" (-11): ", 0), 0u) << lines[3];
  for (const std::string& line : {lines[2], lines[3]}) EXPECT_TRUE(line.ends_with(", then AGAIN")) << line;
  // A run with nothing left to do names nobody.
  EXPECT_TRUE(NamedSummary({reports[0], reports.back()}, "AGAIN").empty());
}

// One machine is one entry however it is written; an address that is no
// machine's is refused.  The resolver stands for the system's.
TEST(FleetHostsFile, RefusesOneMachineTwiceAndAddressesOfNoMachine) {
  const struct {
    const char* what;
    const char* text;
    const char* error;
  } cases[] = {
      {"three spellings of one machine", "a 127.0.0.1\nb 10.0.0.2\nc 127.1\n",
       "line 3: 127.1:3873 and 127.0.0.1:3873 on line 1 are one machine, 127.0.0.1:3873"},
      {"a name and an address", "a localhost:4000\nb 127.0.0.1:4000\n", "line 2: 127.0.0.1:4000 and localhost:4000 on line 1"},
      {"one address on two ports is two services", "a 127.0.0.1:4000\nb 127.1:4001\n", ""},
      {"a name that does not resolve is left to its connection", "a nowhere.invalid\nb 127.1\n", ""},
      {"0.0.0.0", "a 0.0.0.0\n", "line 1: 0.0.0.0: 0.0.0.0 is no machine's address"},
      {"0 is 0.0.0.0", "a 10.0.0.2\nb 0:4000\n", "line 2: 0: 0.0.0.0 is no machine's address"},
      {"broadcast", "a 255.255.255.255\n", "line 1: 255.255.255.255: 255.255.255.255 is the broadcast address"},
      {"multicast", "a 239.1.2.3\n", "line 1: 239.1.2.3: a multicast address"},
  };
  for (const auto& c : cases) {
    const HostsFile file = ParseHosts(c.text, 3873);
    ASSERT_TRUE(file.Ok()) << c.what << ": " << file.error;
    const std::string error = CheckMachines(file.hosts, FakeResolve);
    // The one reader gives the same verdict, with no hosts when it refuses.
    const HostsFile read = ReadHosts(c.text, 3873, FakeResolve);
    EXPECT_EQ(read.error, error) << c.what;
    EXPECT_EQ(read.hosts.empty(), !error.empty()) << c.what;
    if (*c.error) EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.what << ": " << error;
    else EXPECT_EQ(error, "") << c.what;
  }
}

// discover --write keeps the plant's inventory (the property in
// fleet_properties.cpp keeps its names, comments, order, marks, byte order
// mark and line ends over any file); these rows are the cases that failed.
TEST(FleetDiscover, UpdatesTheInventoryWithoutLosingIt) {
  const std::uint32_t a2 = 0x7F4D0002, a3 = 0x7F4D0003, a4 = 0x7F4D0004;  // 127.77.0.2 ...
  const std::vector<std::uint32_t> probed{0x7F000001, a2, a3, a4};  // with 127.0.0.1
  const std::string head = "# new\n";
  const struct {
    const char* what;
    std::string old;
    std::vector<std::uint32_t> found;
    std::string text;  // after the header; or the error
    bool refused;
  } cases[] = {
      {"a new file", "", {a2, a3}, "cnc-127.77.0.2 127.77.0.2:9\ncnc-127.77.0.3 127.77.0.3:9\n", false},
      // The fleet's rule decides what is listed: these name 127.77.0.3 and
      // 127.0.0.1, and a second entry for either would make the file refused.
      {"a machine listed by a name or a short form is not added again",
       "lathe-3 lathe-3.plant:9\nself localhost:9\nshort 127.1:10\n", {a3, 0x7F000001},
       "lathe-3 lathe-3.plant:9\nself localhost:9\nshort 127.1:10\n", false},
      {"one listed by name that did not answer is marked", "lathe-3 lathe-3.plant:9\n", {a2},
       "lathe-3 lathe-3.plant:9  # not found by discover on 2026-12-08\ncnc-127.77.0.2 127.77.0.2:9\n", false},
      {"a file the fleet refuses is refused", "a 127.77.0.2:9\nb 127.77.0.2:9 # again\n", {a2},
       "line 2: 127.77.0.2:9 is also on line 1", true},
      {"one machine by two names is refused", "a localhost:9\nb 127.0.0.1:9\n", {a2},
       "line 2: 127.0.0.1:9 and localhost:9 on line 1 are one machine", true},
      {"a file that cannot be read whole is refused", "mill-A 127.77.0.2:9\nmill-B 127.77.0.3:x\n", {a2},
       "line 2: \"x\" in \"127.77.0.3:x\" is not a port", true},
  };
  for (const auto& c : cases) {
    const Inventory inventory = UpdateInventory(c.old, probed, c.found, 9, "# new", "2026-12-08", FakeResolve);
    if (c.refused) {
      EXPECT_NE(inventory.error.find(c.text), std::string::npos) << c.what << ": " << inventory.error;
      continue;
    }
    ASSERT_TRUE(inventory.Ok()) << c.what << ": " << inventory.error;
    EXPECT_EQ(inventory.text, head + c.text) << c.what;
    EXPECT_TRUE(ReadHosts(inventory.text, 9, FakeResolve).Ok() || c.text.empty()) << c.what;
  }
}

// A retry takes from a report its hosts file, root and language and the
// hosts that failed or were not started (which ones, over any rollout: the
// property in fleet_properties.cpp); a report it cannot trust is refused.
TEST(FleetRetry, ReadsWhatToRunAgainFromAReport) {
  const std::string head = R"({"hosts_file": "floor/hosts", "hosts_fingerprint": "fnv1a64:00", "language": "Polish",
                               "root": "D:\\Packs", "hosts": [)";
  const struct {
    const char* what;
    std::string report;
    const char* names;  // "a,b," when usable
    const char* error;
  } cases[] = {
      {"a result from a newer client is not guessed", head + R"({"name": "a", "result": "rebooting"}]})", "",
       "host a has a result this kestrio-dnc does not know: \"rebooting\""},
      {"Notepad's byte order mark", "\xEF\xBB\xBF" + head + R"({"name": "a", "result": "failed"}]})", "a,", ""},
      {"a setting that is no number", R"({"port": "4000", )" + head.substr(1) + "]}", "",
       "\"port\" in the report is not a usable number"},
      {"port 0", R"({"port": 0, )" + head.substr(1) + "]}", "", "\"port\" in the report is not a usable number"},
      {"a flag that is no flag", R"({"follow_restart": 0, )" + head.substr(1) + "]}", "",
       "\"follow_restart\" in the report is not a usable true or false"},
      {"one host twice", head + R"({"name": "a", "result": "done"}, {"name": "a", "result": "failed"}]})", "",
       "host a stands twice in the report"},
      {"nothing to run again", head + R"({"name": "a", "result": "done"}]})", "", ""},
      {"not JSON", "summary: 1 done", "", "not a report of kestrio-dnc fleet change: offset 0"},
      {"no language", R"({"root": "D:\\x", "hosts": []})", "", "lacks the root folder, the language or the hosts"},
      {"an older report without its hosts file", R"({"root": "D:\\x", "language": "Polish", "hosts": []})", "",
       "does not name its hosts file"},
      {"a host without a result", head + R"({"name": "a"}]})", "", "a host of the report has no name or result"},
  };
  for (const auto& c : cases) {
    const RetryPlan plan = ReadRetryPlan(c.report);
    std::string names;
    for (const auto& n : plan.names) names += n + ",";
    if (*c.error) {
      EXPECT_NE(plan.error.find(c.error), std::string::npos) << c.what << ": " << plan.error;
    } else {
      EXPECT_TRUE(plan.Ok()) << c.what << ": " << plan.error;
      EXPECT_EQ(names, c.names) << c.what;
      EXPECT_EQ(plan.hostsFile + "|" + plan.settings.change.root + "|" + plan.settings.change.language,
                "floor/hosts|D:\\Packs|Polish")
          << c.what;
    }
  }
  // The run's settings come back; an older report lacks some, and a retry
  // takes those it has unless given again.
  const RetryPlan plan = ReadRetryPlan(R"({"port": 4000, "timeout_ms": 700, "canary": 0, "follow_restart": false, )" +
                                       head.substr(1) + "]}");
  ASSERT_TRUE(plan.Ok()) << plan.error;
  ChangeSettings settings;
  settings.timeoutMs = 900;
  settings.parallel = 3;
  std::vector<std::string> told;
  ApplyRetrySettings(plan, settings, [](const char* option) { return std::string_view(option) == "--timeout"; },
                     [&](const std::string& t) { told.push_back(t); });
  EXPECT_EQ(settings.port, 4000u);
  EXPECT_EQ(settings.timeoutMs, 900u);
  EXPECT_EQ(settings.parallel, 3u);  // not in the report
  EXPECT_FALSE(settings.change.followRestart);
  EXPECT_EQ(settings.change.language, "Polish");
  EXPECT_EQ(told, std::vector<std::string>{"--timeout 900 from the command line, not the report's 700"});
  EXPECT_EQ(plan.rollout.run, 2u);  // an older report, without its run's number, was the first
  // The fingerprint tells a hosts file that changed by one byte.
  EXPECT_EQ(Fingerprint(""), "fnv1a64:cbf29ce484222325");
  EXPECT_NE(Fingerprint("a 10.0.0.1\n"), Fingerprint("a 10.0.0.2\n"));
}

}  // namespace
}  // namespace kestrio::remote
