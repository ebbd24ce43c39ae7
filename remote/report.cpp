#include "remote/report.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <utility>

#include "base/json.h"
#include "base/text.h"
#include "engine/language.h"
#include "remote/host_json.h"

namespace kestrio::remote {

std::vector<std::string> NamedSummary(const std::vector<HostReport>& reports, const std::string& again) {
  std::vector<std::string> failed, notStarted, lines;
  std::vector<std::pair<std::int32_t, std::vector<std::string>>> mendable;  // by code, as first met
  for (const HostReport& r : reports) {
    if (r.state == State::NotStarted) notStarted.push_back(r.host.name);
    if (r.state != State::Failed) continue;
    failed.push_back(r.host.name);
    if (!engine::RemedyOf(r.code)) continue;
    auto group = std::find_if(mendable.begin(), mendable.end(), [&](const auto& g) { return g.first == r.code; });
    if (group == mendable.end()) group = mendable.insert(mendable.end(), {r.code, {}});
    group->second.push_back(r.host.name);
  }
  if (!failed.empty()) lines.push_back("failed: " + text::Join(failed, ", "));
  if (!notStarted.empty()) lines.push_back("not started: " + text::Join(notStarted, ", "));
  for (const auto& [code, names] : mendable) {
    std::string message;
    engine::GetErrorText(code, &message);
    lines.push_back("  " + text::Join(names, ", ") + ": \"" + message + "\" (" + std::to_string(code) + "): " +
                    engine::RemedyOf(code) + ", then " + again);
  }
  return lines;
}

std::string SettingText(const RunSetting& row, unsigned value) {
  if (row.Flag()) return value ? "true" : "false";
  return std::to_string(value);
}

std::string JsonReport(const ChangeSettings& settings, const std::vector<HostReport>& reports, bool interrupted,
                       const std::string& stopReason, bool finished, const Rollout& rollout) {
  Summary s = Summarize(reports);
  unsigned underWay = 0;
  for (const auto& r : reports) {
    if (r.state == State::Waiting) ++s.notStarted;
    if (r.state == State::Scanning || r.state == State::Changing || r.state == State::Restarting) ++underWay;
  }
  // The hosts of the record: the earlier report's, in its order, each
  // either run now or kept; then any run now that it lacks (none for a retry).
  std::vector<std::string> entries;
  std::vector<bool> written(reports.size(), false);
  const auto runNow = [&](const std::string& name) -> std::size_t {
    for (std::size_t k = 0; k < reports.size(); ++k)
      if (!written[k] && reports[k].host.name == name) return k;
    return reports.size();
  };
  for (const EarlierHost& e : rollout.earlier) {
    if (const std::size_t k = runNow(e.name); k < reports.size()) {
      written[k] = true;
      entries.push_back(HostReportJson(reports[k], rollout.run));
      continue;
    }
    entries.push_back(HostEntryJson(e.name, e.address, e.result, e.code, e.text, e.scan, e.change, e.total, e.run));
    if (e.result == ResultName(State::Done)) ++s.done;
    else if (e.result == ResultName(State::Skipped)) ++s.skipped;
    else if (e.result == ResultName(State::Failed)) ++s.failed;
    else if (e.result == ResultName(State::NotStarted)) ++s.notStarted;
    else ++underWay;
  }
  for (std::size_t k = 0; k < reports.size(); ++k)
    if (!written[k]) entries.push_back(HostReportJson(reports[k], rollout.run));

  std::string out = "{\n";
  out += "  \"hosts_file\": " + JsonText(settings.hostsFile) + ",\n";
  out += "  \"hosts_fingerprint\": " + JsonText(settings.hostsFingerprint) + ",\n";
  out += "  \"language\": " + JsonText(settings.change.language) + ",\n";
  out += "  \"root\": " + JsonText(settings.change.root) + ",\n";
  for (const RunSetting& row : kRunSettings)
    out += std::string("  \"") + row.key + "\": " + SettingText(row, row.get(settings)) + ",\n";
  out += "  \"run\": " + std::to_string(rollout.run) + ",\n";
  // false while the run goes on: a report left so by a client that was
  // ended says which hosts were under way when it last wrote.
  out += std::string("  \"finished\": ") + (finished ? "true" : "false") + ",\n";
  out += std::string("  \"interrupted\": ") + (interrupted ? "true" : "false") + ",\n";
  out += "  \"not_started_because\": " + JsonText(stopReason) + ",\n";
  out += "  \"summary\": {\"done\": " + std::to_string(s.done) + ", \"skipped\": " + std::to_string(s.skipped) +
         ", \"failed\": " + std::to_string(s.failed) + ", \"under_way\": " + std::to_string(underWay) +
         ", \"not_started\": " + std::to_string(s.notStarted) + "},\n";
  out += "  \"hosts\": [";
  for (std::size_t k = 0; k < entries.size(); ++k) out += (k ? ",\n    " : "\n    ") + entries[k];
  out += entries.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

// ---- A retry of what failed ------------------------------------------------

std::string Fingerprint(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  char text[32];
  std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(hash));
  return text;
}

namespace {

bool WholeNumber(const json::Value& value, double low, double high) {
  return value.kind == json::Value::Number && value.number >= low && value.number <= high &&
         value.number == static_cast<double>(static_cast<std::uint64_t>(value.number));
}

double NumberOf(const json::Value* object, std::string_view name) {
  const json::Value* value = object ? object->Find(name) : nullptr;
  return value && value->kind == json::Value::Number ? value->number : 0;
}

}  // namespace

RetryPlan ReadRetryPlan(std::string_view reportText) {
  RetryPlan plan;
  const json::Parsed parsed = json::Parse(reportText);
  if (!parsed.Ok()) {
    plan.error = "not a report of kestrio-dnc fleet change: " + parsed.error;
    return plan;
  }
  const json::Value& report = parsed.value;
  const json::Value* hosts = report.Find("hosts");
  plan.hostsFile = report.TextOf("hosts_file");
  plan.hostsFingerprint = report.TextOf("hosts_fingerprint");
  plan.settings.change.root = report.TextOf("root");
  plan.settings.change.language = report.TextOf("language");
  for (std::size_t k = 0; k < kRunSettingCount; ++k) {
    const RunSetting& row = kRunSettings[k];
    const json::Value* value = report.Find(row.key);
    if (!value) continue;  // an older report: the command line's value or its default
    const unsigned long low = row.kind == OptionKind::NumberOrNone ? 0 : row.low;
    const bool usable = row.Flag() ? value->kind == json::Value::Bool
                                   : WholeNumber(*value, static_cast<double>(low), static_cast<double>(row.high));
    if (!usable) {
      plan.error = std::string("\"") + row.key + "\" in the report is not a usable " +
                   (row.Flag() ? "true or false" : "number");
      return plan;
    }
    row.set(plan.settings, row.Flag() ? unsigned{value->boolean} : static_cast<unsigned>(value->number));
    plan.present[k] = true;
  }
  if (report.kind != json::Value::Object || !hosts || hosts->kind != json::Value::Array ||
      plan.settings.change.root.empty() || plan.settings.change.language.empty()) {
    plan.error = "not a report of kestrio-dnc fleet change (it lacks the root folder, the language or the hosts)";
    return plan;
  }
  if (plan.hostsFile.empty() || plan.hostsFingerprint.empty()) {
    plan.error = "the report does not name its hosts file (written by an older kestrio-dnc)";
    return plan;
  }
  // A report of an older kestrio-dnc has no run number: it was the first.
  unsigned run = 1;
  if (const json::Value* value = report.Find("run")) {
    if (!WholeNumber(*value, 1, 1000000)) {
      plan.error = "\"run\" in the report is not a usable number";
      return plan;
    }
    run = static_cast<unsigned>(value->number);
  }
  plan.rollout.run = run + 1;
  for (const json::Value& host : hosts->items) {
    EarlierHost e;
    e.name = host.TextOf("name");
    e.result = host.TextOf("result");
    if (e.name.empty() || e.result.empty()) {
      plan.error = "a host of the report has no name or result";
      return plan;
    }
    for (const EarlierHost& other : plan.rollout.earlier)
      if (other.name == e.name) {
        plan.error = "host " + e.name + " stands twice in the report";
        return plan;
      }
    e.address = host.TextOf("address");
    e.text = host.TextOf("text");
    e.code = static_cast<std::int32_t>(NumberOf(&host, "code"));
    const json::Value* seconds = host.Find("seconds");
    e.scan = NumberOf(seconds, "scan");
    e.change = NumberOf(seconds, "change");
    e.total = NumberOf(seconds, "total");
    const double from = NumberOf(&host, "run");
    e.run = from >= 1 && from <= run ? static_cast<unsigned>(from) : run;
    // A host under way (or restarting after its change) when the report was
    // last written may have been changed or not: it runs again, and is
    // skipped if it was.
    if (e.result == ResultName(State::Failed) || e.result == ResultName(State::NotStarted) ||
        e.result == ResultName(State::Scanning) || e.result == ResultName(State::Restarting))
      plan.names.push_back(e.name);
    else if (e.result != ResultName(State::Done) && e.result != ResultName(State::Skipped)) {
      plan.error = "host " + e.name + " has a result this kestrio-dnc does not know: \"" + e.result + "\"";
      return plan;
    }
    plan.rollout.earlier.push_back(std::move(e));
  }
  return plan;
}

void ApplyRetrySettings(const RetryPlan& plan, ChangeSettings& settings,
                        const std::function<bool(const char* option)>& given,
                        const std::function<void(const std::string& told)>& tell) {
  settings.hostsFile = plan.hostsFile;
  settings.hostsFingerprint = plan.hostsFingerprint;
  settings.change.root = plan.settings.change.root;
  settings.change.language = plan.settings.change.language;
  for (std::size_t k = 0; k < kRunSettingCount; ++k) {
    const RunSetting& row = kRunSettings[k];
    if (!plan.present[k]) continue;
    const unsigned report = row.get(plan.settings), now = row.get(settings);
    if (!given(row.option)) {
      row.set(settings, report);
    } else if (now != report && tell) {
      tell(row.Flag()
               ? std::string(row.option) + " from the command line, not the report's " + row.key + " " +
                     SettingText(row, report)
               : std::string(row.option) + " " + SettingText(row, now) + " from the command line, not the report's " +
                     SettingText(row, report));
    }
  }
}

HostsFile SelectHosts(const std::vector<HostEntry>& hosts, const std::vector<std::string>& names) {
  HostsFile selected;
  for (const auto& name : names)
    if (std::none_of(hosts.begin(), hosts.end(), [&](const HostEntry& h) { return h.name == name; })) {
      selected.error = "the hosts file has no host " + name;
      return selected;
    }
  for (const auto& host : hosts)
    if (std::find(names.begin(), names.end(), host.name) != names.end()) selected.hosts.push_back(host);
  return selected;
}

}  // namespace kestrio::remote
