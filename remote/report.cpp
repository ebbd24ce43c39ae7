#include "remote/report.h"

#include <algorithm>
#include <cstdio>

#include "base/json.h"
#include "remote/host_json.h"

namespace kestrio::remote {

std::string JsonReport(const ChangeSettings& settings, const std::vector<HostReport>& reports, bool interrupted,
                       const std::string& stopReason, bool finished) {
  Summary s = Summarize(reports);
  unsigned underWay = 0;
  for (const auto& r : reports) {
    if (r.state == State::Waiting) ++s.notStarted;
    if (r.state == State::Scanning || r.state == State::Changing || r.state == State::Restarting) ++underWay;
  }
  std::string out = "{\n";
  out += "  \"hosts_file\": " + JsonText(settings.hostsFile) + ",\n";
  out += "  \"hosts_fingerprint\": " + JsonText(settings.hostsFingerprint) + ",\n";
  out += "  \"language\": " + JsonText(settings.change.language) + ",\n";
  out += "  \"root\": " + JsonText(settings.change.root) + ",\n";
  out += "  \"port\": " + std::to_string(settings.port) + ",\n";
  out += "  \"timeout_ms\": " + std::to_string(settings.timeoutMs) + ",\n";
  out += "  \"scan_timeout\": " + std::to_string(settings.change.scanTimeout) + ",\n";
  out += "  \"change_timeout\": " + std::to_string(settings.change.changeTimeout) + ",\n";
  out += "  \"parallel\": " + std::to_string(settings.parallel) + ",\n";
  out += "  \"canary\": " + std::to_string(settings.canary) + ",\n";
  out += "  \"max_failures\": " + std::to_string(settings.maxFailures) + ",\n";
  // false while the run goes on: a report left so by a client that was
  // ended says which hosts were under way when it last wrote.
  out += std::string("  \"finished\": ") + (finished ? "true" : "false") + ",\n";
  out += std::string("  \"interrupted\": ") + (interrupted ? "true" : "false") + ",\n";
  out += "  \"not_started_because\": " + JsonText(stopReason) + ",\n";
  out += "  \"summary\": {\"done\": " + std::to_string(s.done) + ", \"skipped\": " + std::to_string(s.skipped) +
         ", \"failed\": " + std::to_string(s.failed) + ", \"under_way\": " + std::to_string(underWay) +
         ", \"not_started\": " + std::to_string(s.notStarted) + "},\n";
  out += "  \"hosts\": [";
  for (std::size_t k = 0; k < reports.size(); ++k) {
    out += (k ? ",\n    " : "\n    ") + HostJson(reports[k]);
  }
  out += reports.empty() ? "]\n}\n" : "\n  ]\n}\n";
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
  plan.root = report.TextOf("root");
  plan.language = report.TextOf("language");
  plan.settings = {{"port", "--port"},       {"timeout_ms", "--timeout"}, {"scan_timeout", "--scan-timeout"},
                   {"change_timeout", "--change-timeout"}, {"parallel", "--parallel"}, {"canary", "--canary"},
                   {"max_failures", "--max-failures"}};
  for (RetrySetting& setting : plan.settings) {
    const json::Value* value = report.Find(setting.name);
    if (!value) continue;  // an older report: the command line's value or its default
    const bool zeroAllowed = std::string_view(setting.name) != "port" && std::string_view(setting.name) != "parallel";
    if (value->kind != json::Value::Number || value->number != static_cast<double>(static_cast<std::uint64_t>(value->number)) ||
        value->number > (std::string_view(setting.name) == "port" ? 65535.0 : 4294967295.0) ||
        (!zeroAllowed && value->number < 1)) {
      plan.error = std::string("\"") + setting.name + "\" in the report is not a usable number";
      return plan;
    }
    setting.value = static_cast<unsigned>(value->number);
    setting.present = true;
  }
  if (report.kind != json::Value::Object || !hosts || hosts->kind != json::Value::Array || plan.root.empty() ||
      plan.language.empty()) {
    plan.error = "not a report of kestrio-dnc fleet change (it lacks the root folder, the language or the hosts)";
    return plan;
  }
  if (plan.hostsFile.empty() || plan.hostsFingerprint.empty()) {
    plan.error = "the report does not name its hosts file (written by an older kestrio-dnc)";
    return plan;
  }
  for (const json::Value& host : hosts->items) {
    const std::string name = host.TextOf("name"), result = host.TextOf("result");
    if (name.empty() || result.empty()) {
      plan.error = "a host of the report has no name or result";
      return plan;
    }
    // A host under way (or restarting after its change) when the report was
    // last written may have been changed or not: it runs again, and is
    // skipped if it was.
    if (result == ResultName(State::Failed) || result == ResultName(State::NotStarted) ||
        result == ResultName(State::Scanning) || result == ResultName(State::Restarting))
      plan.names.push_back(name);
    else if (result != ResultName(State::Done) && result != ResultName(State::Skipped)) {
      plan.error = "host " + name + " has a result this kestrio-dnc does not know: \"" + result + "\"";
      return plan;
    }
  }
  return plan;
}

const RetrySetting* RetryPlan::Setting(std::string_view name) const {
  for (const auto& setting : settings)
    if (name == setting.name) return &setting;
  return nullptr;
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
