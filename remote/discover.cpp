#include "remote/discover.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace kestrio::remote {

// ---- Discover ---------------------------------------------------------------

namespace {

constexpr std::uint64_t kMaxRange = 65536;

// A dotted quad of four decimal numbers 0..255 without leading zeros (an
// address written "010" is read as octal by some tools: refused, not guessed).
bool ParseAddress(std::string_view text, std::uint32_t& address) {
  address = 0;
  int parts = 0;
  std::size_t k = 0;
  while (parts < 4) {
    const std::size_t start = k;
    unsigned value = 0;
    while (k < text.size() && text[k] >= '0' && text[k] <= '9' && k - start < 3)
      value = value * 10 + static_cast<unsigned>(text[k++] - '0');
    if (k == start || value > 255 || (k - start > 1 && text[start] == '0')) return false;
    address = (address << 8) | value;
    if (++parts < 4 && (k >= text.size() || text[k++] != '.')) return false;
  }
  return k == text.size();
}

}  // namespace

AddressList ParseRanges(const std::vector<std::string>& ranges) {
  AddressList list;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
  std::uint64_t total = 0;
  for (const auto& range : ranges) {
    const auto fail = [&](const std::string& why) {
      list.addresses.clear();
      list.error = range + ": " + why;
      return list;
    };
    std::uint32_t first = 0, last = 0;
    if (const auto slash = range.find('/'); slash != std::string::npos) {
      const std::string prefix = range.substr(slash + 1);
      if (!ParseAddress(std::string_view(range).substr(0, slash), first))
        return fail("not an IPv4 address before the '/'");
      if (prefix.empty() || prefix.size() > 2 || prefix.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(prefix) > 32)
        return fail("the prefix length is not a number from 0 to 32");
      const int bits = std::stoi(prefix);
      if (bits < 16)
        return fail("a /" + prefix + " holds " + std::to_string(1ULL << (32 - bits)) +
                    " addresses; at most 65,536 (a /16) at once");
      const std::uint32_t size = bits == 32 ? 1u : 1u << (32 - bits);
      first &= ~(size - 1);
      last = first + (size - 1);
    } else if (const auto dash = range.find('-'); dash != std::string::npos) {
      if (!ParseAddress(std::string_view(range).substr(0, dash), first) ||
          !ParseAddress(std::string_view(range).substr(dash + 1), last))
        return fail("expected FIRST-LAST, two IPv4 addresses");
      if (last < first) return fail("the last address comes before the first");
      if (std::uint64_t{last} - first + 1 > kMaxRange)
        return fail("holds " + std::to_string(std::uint64_t{last} - first + 1) + " addresses; at most 65,536 at once");
    } else {
      if (!ParseAddress(range, first)) return fail("not an IPv4 address, ADDRESS/PREFIX or FIRST-LAST");
      last = first;
    }
    // A probe of these would reach the local host or every host at once.
    if (first == 0) return fail(NotAMachine(0));
    if (last == 0xFFFFFFFF) return fail(NotAMachine(last));
    if (first <= 0xEFFFFFFF && last >= 0xE0000000) return fail("holds " + NotAMachine(0xE0000000));
    total += std::uint64_t{last} - first + 1;
    spans.emplace_back(first, last);
  }
  // Checked before any range is expanded: many ranges of a /16 each would
  // otherwise fill the memory first.
  if (total > kMaxRange) {
    list.error = "the ranges hold " + std::to_string(total) + " addresses together; at most 65,536 at once";
    return list;
  }
  for (const auto& [first, last] : spans)
    for (std::uint64_t a = first; a <= last; ++a) list.addresses.push_back(static_cast<std::uint32_t>(a));
  std::sort(list.addresses.begin(), list.addresses.end());
  list.addresses.erase(std::unique(list.addresses.begin(), list.addresses.end()), list.addresses.end());
  if (list.addresses.empty()) list.error = "give at least one address range";
  return list;
}

std::vector<Discovered> Discover(const std::vector<std::uint32_t>& addresses, std::uint16_t port, unsigned timeoutMs,
                                 unsigned parallel, const std::atomic<bool>& stop, std::atomic<std::size_t>& probed) {
  std::mutex mutex;
  std::vector<Discovered> found;
  ForEachAtOnce(0, addresses.size(), parallel, [&] { return stop.load(); }, [&](std::size_t k) {
    HostEntry host;
    host.host = AddressText(addresses[k]);
    host.port = port;
    HostStatus status = QueryStatus(host, timeoutMs);
    if (status.connected) {
      std::lock_guard lock(mutex);
      found.push_back({addresses[k], std::move(status)});
    }
    probed.fetch_add(1);
  });
  std::sort(found.begin(), found.end(), [](const Discovered& a, const Discovered& b) { return a.address < b.address; });
  return found;
}

namespace {

constexpr std::string_view kDiscoverHeader = "# kestrio-dnc fleet discover ";
constexpr std::string_view kNotFoundMark = "not found by discover on ";

// The line without a not-found mark of an earlier discover.
std::string WithoutMark(std::string line) {
  const auto mark = line.rfind(kNotFoundMark);
  if (mark == std::string::npos) return line;
  std::size_t start = mark;
  if (start >= 2 && line.compare(start - 2, 2, "# ") == 0) start -= 2;
  else if (start >= 2 && line.compare(start - 2, 2, "; ") == 0) start -= 2;
  line.erase(start);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  return line;
}

}  // namespace

Inventory UpdateInventory(std::string_view oldText, const std::vector<std::uint32_t>& probed,
                          const std::vector<std::uint32_t>& found, std::uint16_t port, const std::string& header,
                          const std::string& date, const Resolver& resolve) {
  Inventory inventory;
  const HostsFile old = ReadHosts(oldText, port, resolve);
  if (!old.Ok() && old.error != "no hosts") {
    inventory.error = old.error;
    return inventory;
  }
  // The lines of the old file, each with the entry on it.
  std::vector<std::string> lines;
  bool crlf = false;
  const bool bom = oldText.substr(0, 3) == "\xEF\xBB\xBF";
  std::size_t start = bom ? 3 : 0;
  while (start < oldText.size()) {
    const std::size_t end = std::min(oldText.find('\n', start), oldText.size());
    std::string line(oldText.substr(start, end - start));
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      crlf = true;
    }
    lines.push_back(std::move(line));
    start = end + 1;
  }
  std::vector<const HostEntry*> entryOn(lines.size(), nullptr);
  for (const auto& entry : old.hosts) entryOn[static_cast<std::size_t>(entry.line - 1)] = &entry;

  const auto in = [](const std::vector<std::uint32_t>& sorted, std::uint32_t a) {
    return std::binary_search(sorted.begin(), sorted.end(), a);
  };
  std::vector<std::uint32_t> sortedFound = found;
  std::sort(sortedFound.begin(), sortedFound.end());
  sortedFound.erase(std::unique(sortedFound.begin(), sortedFound.end()), sortedFound.end());
  std::vector<std::uint32_t> listed;  // addresses on `port` the file has, resolved as the fleet resolves them
  std::map<std::string, int> names;
  for (const auto& entry : old.hosts) names[entry.name] = entry.line;

  std::string text(bom ? "\xEF\xBB\xBF" : "");
  text += header;
  text += '\n';
  for (std::size_t k = 0; k < lines.size(); ++k) {
    std::string line = lines[k];
    if (k == 0 && line.rfind(kDiscoverHeader, 0) == 0) continue;  // the header of an earlier discover
    if (const HostEntry* entry = entryOn[k]) {
      std::uint32_t address = 0;
      ++inventory.kept;
      if (entry->port == port && resolve(entry->host, address)) {
        listed.push_back(address);
        if (in(probed, address)) {
          line = WithoutMark(std::move(line));
          if (!in(sortedFound, address)) {
            // Switched off, or busy with another client: still on the floor.
            line += line.find(" #") != std::string::npos || line.find("\t#") != std::string::npos ? "; " : "  # ";
            line += std::string(kNotFoundMark) + date;
            ++inventory.notFound;
          }
        }
      }
    }
    text += line + '\n';
  }
  std::sort(listed.begin(), listed.end());
  for (const std::uint32_t address : sortedFound) {
    if (in(listed, address)) continue;
    std::string name = "cnc-" + AddressText(address);
    for (int n = 2; names.count(name); ++n) name = "cnc-" + AddressText(address) + "-" + std::to_string(n);
    names[name] = 0;
    text += name + " " + AddressText(address) + ":" + std::to_string(port) + "\n";
    ++inventory.added;
  }
  if (crlf) {  // a file edited on Windows keeps its line ends
    std::string converted;
    for (const char c : text) {
      if (c == '\n') converted += '\r';
      converted += c;
    }
    text = std::move(converted);
  }
  inventory.text = std::move(text);
  return inventory;
}

}  // namespace kestrio::remote
