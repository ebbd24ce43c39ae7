#include "remote/hosts.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>

#include "base/text.h"

namespace kestrio::remote {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t k = 0;
  while (k < line.size()) {
    while (k < line.size() && IsBlank(line[k])) ++k;
    const std::size_t start = k;
    while (k < line.size() && !IsBlank(line[k])) ++k;
    if (k > start) fields.emplace_back(line.substr(start, k - start));
  }
  return fields;
}

// HOST[:PORT] into `entry`; what is wrong otherwise.
std::string ParseAddress(const std::string& text, std::uint16_t defaultPort, HostEntry& entry) {
  const auto colon = text.find(':');
  entry.host = text.substr(0, colon);
  entry.port = defaultPort;
  if (entry.host.empty()) return "\"" + text + "\" has no host";
  if (colon == std::string::npos) return {};
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::strtoul(port.c_str(), nullptr, 10) < 1 || std::strtoul(port.c_str(), nullptr, 10) > 65535)
    return "\"" + port + "\" in \"" + text + "\" is not a port from 1 to 65535";
  entry.port = static_cast<std::uint16_t>(std::strtoul(port.c_str(), nullptr, 10));
  return {};
}

}  // namespace

HostsFile ParseHosts(std::string_view bytes, std::uint16_t defaultPort) {
  HostsFile file;
  // Decoding keeps every line end where it was: the line numbers stay.
  const std::string decoded = text::Utf8FromUnknown(bytes);
  const std::string_view text = decoded;
  std::map<std::string, int> names, addresses;
  int number = 0;
  // Notepad starts a file it saves as UTF-8 with a byte order mark.
  std::size_t start = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    const auto fail = [&](const std::string& why) {
      file.hosts.clear();
      file.error = "line " + std::to_string(number) + ": " + why;
      return file;
    };
    auto fields = Fields(line);
    // A field that starts with '#' begins a comment: "mill-B 10.0.0.3  # by the door".
    if (const auto comment = std::find_if(fields.begin(), fields.end(), [](const std::string& f) { return f[0] == '#'; });
        comment != fields.end())
      fields.erase(comment, fields.end());
    if (fields.empty()) continue;
    if (fields.size() > 2) return fail("expected NAME HOST[:PORT] or HOST[:PORT], found " + std::to_string(fields.size()) + " fields");
    for (const char c : line)
      if (static_cast<unsigned char>(c) < 0x20 && !IsBlank(c)) return fail("a control character");
    HostEntry entry;
    entry.line = number;
    if (const std::string why = ParseAddress(fields.back(), defaultPort, entry); !why.empty()) return fail(why);
    entry.name = fields[0];  // with the address alone, the address as written
    if (const auto [it, fresh] = names.emplace(entry.name, number); !fresh)
      return fail("the name " + entry.name + " is also on line " + std::to_string(it->second));
    // Two clients on one service would wait for each other and change the
    // machine twice.
    if (const auto [it, fresh] = addresses.emplace(entry.Address(), number); !fresh)
      return fail(entry.Address() + " is also on line " + std::to_string(it->second));
    file.hosts.push_back(std::move(entry));
  }
  if (file.hosts.empty()) file.error = "no hosts";
  return file;
}

std::string NotAMachine(std::uint32_t address) {
  if (address == 0) return "0.0.0.0 is no machine's address (it reaches the local host)";
  if (address == 0xFFFFFFFF) return "255.255.255.255 is the broadcast address";
  if ((address >> 28) == 0xE) return "a multicast address (224.0.0.0 to 239.255.255.255)";
  return {};
}

std::string CheckMachines(const std::vector<HostEntry>& hosts, const Resolver& resolve) {
  std::map<std::pair<std::uint32_t, std::uint16_t>, const HostEntry*> machines;
  for (const HostEntry& host : hosts) {
    std::uint32_t address = 0;
    if (!resolve(host.host, address)) continue;
    const std::string where = "line " + std::to_string(host.line) + ": ";
    if (const std::string why = NotAMachine(address); !why.empty()) return where + host.host + ": " + why;
    const auto [it, fresh] = machines.emplace(std::make_pair(address, host.port), &host);
    if (!fresh)
      return where + host.Address() + " and " + it->second->Address() + " on line " + std::to_string(it->second->line) +
             " are one machine, " + AddressText(address) + ":" + std::to_string(host.port);
  }
  return {};
}

HostsFile ReadHosts(std::string_view text, std::uint16_t defaultPort, const Resolver& resolve) {
  HostsFile file = ParseHosts(text, defaultPort);
  if (file.Ok()) file.error = CheckMachines(file.hosts, resolve);
  if (!file.Ok()) file.hosts.clear();
  return file;
}

int RefusedLine(const std::string& error) {
  if (error.rfind("line ", 0) != 0) return 0;
  return std::atoi(error.c_str() + 5);
}

std::string AddressText(std::uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
         "." + std::to_string(a & 255);
}

}  // namespace kestrio::remote
