// Discover: the machines that answer on the DNC port in ranges of
// addresses, and the hosts file (the plant's inventory) written from them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "remote/fleet.h"

namespace kestrio::remote {

// ---- Discover ---------------------------------------------------------------

// The IPv4 addresses of ranges, each once, in order: an address
// ("10.4.0.7"), a CIDR block of at most 65,536 addresses ("10.4.0.0/22"; bits
// below the prefix are ignored) or a first-last range
// ("192.168.7.20-192.168.7.80", at most 65,536 addresses).
struct AddressList {
  std::vector<std::uint32_t> addresses;
  std::string error;  // "10.4.0.0/8: ...", empty when usable
  bool Ok() const { return error.empty(); }
};
AddressList ParseRanges(const std::vector<std::string>& ranges);

struct Discovered {
  std::uint32_t address = 0;
  HostStatus status;  // connected; reachable when it is a Kestrio Setup
};

// Probes the DNC port of every address (QueryStatus), at most `parallel` at
// once, until done or `stop`; `probed` counts the addresses done.  Returns
// the addresses where something accepted the connection, in address order.
std::vector<Discovered> Discover(const std::vector<std::uint32_t>& addresses, std::uint16_t port, unsigned timeoutMs,
                                 unsigned parallel, const std::atomic<bool>& stop, std::atomic<std::size_t>& probed);

// The hosts file a discover writes, from the one already there (the plant's
// inventory, empty when there is none): every line of it stays, in its
// order, with its names and comments (and its byte order mark and line
// ends); an entry on `port` whose host resolves (as the fleet resolves it,
// through `resolve`) to an address of `probed` that did not answer is marked
// "not found by discover on DATE" (the mark goes when it answers again); the
// machines found that no entry already names, by the fleet's rule (the
// resolved address and the port: `localhost` is 127.0.0.1), follow as
// `cnc-ADDRESS ADDRESS:PORT`, under a name no entry has.  The first line is
// `header` (a header of an earlier discover is replaced).  A file the fleet
// would refuse (ReadHosts) is refused, naming its line: what discover writes
// is always a file the fleet reads.
struct Inventory {
  std::string text;
  std::string error;
  unsigned kept = 0, added = 0, notFound = 0;
  bool Ok() const { return error.empty(); }
};
Inventory UpdateInventory(std::string_view oldText, const std::vector<std::uint32_t>& probed,
                          const std::vector<std::uint32_t>& found, std::uint16_t port, const std::string& header,
                          const std::string& date, const Resolver& resolve);

}  // namespace kestrio::remote
