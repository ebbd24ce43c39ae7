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

std::string Members(const HostReport& r) {
  return "\"name\": " + JsonText(r.host.name) + ", \"address\": " + JsonText(r.host.Address()) +
         ", \"result\": " + JsonText(ResultName(r.state)) + ", \"code\": " + std::to_string(r.code) +
         ", \"text\": " + JsonText(r.text) + ", \"seconds\": {\"scan\": " + JsonSeconds(r.ScanSeconds()) +
         ", \"change\": " + JsonSeconds(r.ChangeSeconds()) + ", \"total\": " + JsonSeconds(r.TotalSeconds(r.ended)) +
         "}";
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

State StateOf(const RemoteChangeResult& change) {
  switch (change.end) {
    case ChangeEnd::Done: return State::Done;
    case ChangeEnd::Skipped: return State::Skipped;
    case ChangeEnd::Failed: return State::Failed;
  }
  return State::Failed;
}

}  // namespace kestrio::remote
