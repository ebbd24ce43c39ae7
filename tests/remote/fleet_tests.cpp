// The fleet module without hosts behind it: the hosts file, the report, and
// a run that is stopped before it starts.
#include <gtest/gtest.h>

#include "remote/fleet.h"

namespace kestrio::dnc::fleet {
namespace {

struct HostsCase {
  const char* what;
  const char* text;
  const char* hosts;  // "name=host:port;..." when usable
  const char* error;  // the error when not
};

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
      {"blank lines, comments, tabs, CRLF", "# floor 2\r\n\r\n  \t\n\tcnc01\t10.0.0.1 \r\n  # off: cnc02\ncnc03 h3\n",
       "cnc01=10.0.0.1:3873@4;cnc03=h3:3873@6;", ""},
      {"three fields", "cnc01 10.0.0.1 4000\n", "", "line 1: expected NAME HOST[:PORT] or HOST[:PORT], found 3 fields"},
      {"a comment after the address", "cnc01 10.0.0.1 # hall\n", "", "line 1: expected NAME HOST[:PORT]"},
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

  const std::string json = JsonReport(settings, reports, true);
  for (const char* part : {"\"root\": \"D:\\\\Packs\"", "\"interrupted\": true",
                           "\"summary\": {\"done\": 0, \"skipped\": 0, \"failed\": 0, \"not_started\": 2}",
                           "{\"name\": \"a\\\"b\\\\c\", \"address\": \"192.0.2.1:1\", \"result\": \"not started\", "
                           "\"code\": 0, \"text\": \"interrupted\", "
                           "\"seconds\": {\"scan\": 0.000, \"change\": 0.000, \"total\": 0.000}}"})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
}

TEST(FleetReport, EscapesControlCharactersInTexts) {
  HostReport r;
  r.host.name = "cnc\t1";
  r.state = State::Failed;
  r.code = -10;
  r.text = "line\nnext";
  const std::string json = JsonReport(ChangeSettings{}, {r}, false);
  EXPECT_NE(json.find("\"name\": \"cnc\\u00091\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"result\": \"failed\", \"code\": -10, \"text\": \"line\\u000anext\""), std::string::npos) << json;
}

// A retry takes from a report its hosts file, root and language and the
// hosts that failed or were not started; a report it cannot trust is refused.
TEST(FleetRetry, ReadsWhatToRunAgainFromAReport) {
  const std::string head = R"({"hosts_file": "floor/hosts", "hosts_fingerprint": "fnv1a64:00", "language": "Polish",
                               "root": "D:\\Packs", "hosts": [)";
  const struct {
    const char* what;
    std::string report;
    const char* names;  // "a,b," when usable
    const char* error;
  } cases[] = {
      {"failed and not started run again, done and skipped not",
       head + R"({"name": "a", "result": "done"}, {"name": "b", "result": "failed"},
                 {"name": "c", "result": "skipped"}, {"name": "d", "result": "not started"}]})", "b,d,", ""},
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
      EXPECT_EQ(plan.hostsFile + "|" + plan.root + "|" + plan.language, "floor/hosts|D:\\Packs|Polish") << c.what;
    }
  }
  // The fingerprint tells a hosts file that changed by one byte.
  EXPECT_EQ(Fingerprint(""), "fnv1a64:cbf29ce484222325");
  EXPECT_NE(Fingerprint("a 10.0.0.1\n"), Fingerprint("a 10.0.0.2\n"));
}

}  // namespace
}  // namespace kestrio::dnc::fleet
