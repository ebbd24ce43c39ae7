// The hosts file of a fleet: one machine a line, the same machine never
// twice, and no address that is no machine's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::remote {

// ---- Hosts file ----------------------------------------------------------
//
// One host a line: `NAME HOST[:PORT]` or `HOST[:PORT]` (the name is then the
// address as written), optionally followed by a comment: a field that starts
// with '#' and the rest of the line.  Blank lines and lines whose first
// non-blank character is '#' are skipped.  A bad line makes the whole file
// unusable.  The text is read as Utf8FromUnknown reads bytes: a file saved
// as UTF-8 (with or without Notepad's byte order mark) or as Notepad's
// "ANSI" (Windows-1252) gives the same UTF-8 names, which the report keeps
// and a retry finds again.

struct HostEntry {
  std::string name;
  std::string host;
  std::uint16_t port = 0;
  int line = 0;  // line number in the file, from 1
  std::string Address() const { return host + ":" + std::to_string(port); }
};

struct HostsFile {
  std::vector<HostEntry> hosts;
  std::string error;  // "line 3: ...", empty when usable
  bool Ok() const { return error.empty(); }
};

HostsFile ParseHosts(std::string_view text, std::uint16_t defaultPort);

// Why an IPv4 address (host order) is no machine's: 0.0.0.0 (on Linux it
// reaches the local host), the broadcast address, a multicast address;
// empty for an address a machine can have.
std::string NotAMachine(std::uint32_t address);

// Refuses hosts that name one machine twice, by address and port as
// `resolve` gives them (127.0.0.1, 127.1 and localhost are one machine: two
// sessions on one service would wait for each other or change it twice), or
// an address that is no machine's: "line 3: ...", naming both lines; empty
// when usable.  A host that does not resolve is left to its connection.
using Resolver = std::function<bool(const std::string& host, std::uint32_t& address)>;
std::string CheckMachines(const std::vector<HostEntry>& hosts, const Resolver& resolve);

// The hosts file as the fleet reads it, its one reader (fleet status and
// change, discover --write, fleet hosts and through it the Ansible
// inventory): ParseHosts, then CheckMachines.
HostsFile ReadHosts(std::string_view text, std::uint16_t defaultPort, const Resolver& resolve);
// The line a refusal names ("line 3: ..."), 0 when it names none.
int RefusedLine(const std::string& error);

// The dotted quad of an IPv4 address in host order.
std::string AddressText(std::uint32_t address);

}  // namespace kestrio::remote
