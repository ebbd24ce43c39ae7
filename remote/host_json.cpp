#include "remote/host_json.h"

#include <cstdio>

#include "base/text.h"

namespace kestrio::remote {

std::string JsonText(const std::string& bytes) {
  const std::string text = text::Utf8FromUnknown(bytes);
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

namespace {

std::string Members(const std::string& name, const std::string& address, const std::string& result,
                    std::int32_t code, const std::string& text, double scan, double change, double total) {
  return "\"name\": " + JsonText(name) + ", \"address\": " + JsonText(address) + ", \"result\": " + JsonText(result) +
         ", \"code\": " + std::to_string(code) + ", \"text\": " + JsonText(text) +
         ", \"seconds\": {\"scan\": " + JsonSeconds(scan) + ", \"change\": " + JsonSeconds(change) +
         ", \"total\": " + JsonSeconds(total) + "}";
}

std::string Members(const HostReport& r) {
  return Members(r.host.name, r.host.Address(), ResultName(r.state), r.code, r.text, r.ScanSeconds(),
                 r.ChangeSeconds(), r.TotalSeconds(r.ended));
}

const char* Boolean(bool value) { return value ? "true" : "false"; }

}  // namespace

// Built by appending: gcc 12 at -O3 for i686 warns falsely (-Wrestrict) on
// "literal" + a temporary string.
std::string HostJson(const HostReport& report) {
  std::string out = "{";
  out += Members(report);
  out += '}';
  return out;
}

std::string HostReportJson(const HostReport& report, unsigned run) {
  std::string out = "{";
  out += Members(report);
  out += ", \"run\": " + std::to_string(run) + "}";
  return out;
}

std::string HostEntryJson(const std::string& name, const std::string& address, const std::string& result,
                          std::int32_t code, const std::string& text, double scan, double change, double total,
                          unsigned run) {
  std::string out = "{";
  out += Members(name, address, result, code, text, scan, change, total);
  out += ", \"run\": " + std::to_string(run) + "}";
  return out;
}

std::string HostChangeJson(const HostReport& report, const RemoteChangeResult& change) {
  std::string out = "{";
  out += Members(report);
  out += ", \"before\": " + JsonText(change.before) + ", \"after\": " + JsonText(change.after) +
         ", \"restart_followed\": " + Boolean(change.restartFollowed) + "}";
  return out;
}

std::string HostStatusJson(const HostEntry& host, const HostStatus& s) {
  return "{\"name\": " + JsonText(host.name) + ", \"address\": " + JsonText(host.Address()) +
         ", \"reachable\": " + Boolean(s.reachable) + ", \"protocol\": " + JsonText(s.reachable ? s.protocol : "") +
         ", \"language\": " + JsonText(s.reachable ? s.language : "") + ", \"status\": " +
         std::to_string(s.reachable ? s.status : 0) + ", \"error\": " + JsonText(s.reachable ? s.errorText : "") +
         ", \"problem\": " + JsonText(s.reachable ? "" : s.problem) + "}";
}

std::string HostsFileJson(const std::string& path, const HostsFile& file) {
  std::string out = "{\"hosts_file\": " + JsonText(path) + ", \"hosts\": [";
  for (std::size_t k = 0; k < file.hosts.size(); ++k) {
    const HostEntry& h = file.hosts[k];
    out += k ? ",\n  " : "\n  ";
    out += "{\"line\": " + std::to_string(h.line) + ", \"name\": " + JsonText(h.name) + ", \"host\": " +
           JsonText(h.host) + ", \"port\": " + std::to_string(h.port) + ", \"address\": " + JsonText(h.Address()) +
           "}";
  }
  out += file.hosts.empty() ? "]" : "\n]";
  out += ", \"error\": " + JsonText(file.error) + ", \"line\": " + std::to_string(RefusedLine(file.error)) + "}\n";
  return out;
}

State StateOf(const RemoteChangeResult& change) {
  switch (change.end) {
    case ChangeEnd::Done: return State::Done;
    case ChangeEnd::Skipped: return State::Skipped;
    case ChangeEnd::Failed: return State::Failed;
  }
  return State::Failed;
}

}  // namespace kestrio::remote
