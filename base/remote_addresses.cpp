#include "base/remote_addresses.h"

#include <array>
#include <cstdint>
#include <optional>

#include "base/text.h"

namespace kestrio::text {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A decimal number of at most `digits` digits without leading zeros.
std::optional<unsigned> Decimal(std::string_view s, std::size_t digits) {
  if (s.empty() || s.size() > digits || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  unsigned n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

// Dotted decimal: four parts of 0 to 255.  A leading zero is refused, as
// some readers take "010" for octal.
std::optional<std::uint32_t> Ipv4(std::string_view s) {
  std::uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? s.find('.') : s.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const std::optional<unsigned> n = Decimal(s.substr(0, dot), 3);
    if (!n || *n > 255) return std::nullopt;
    address = address << 8 | *n;
    s.remove_prefix(dot == s.size() ? dot : dot + 1);
  }
  return address;
}

// A mask's ones come first: 255.255.252.0, not 255.0.255.0.
bool ContiguousMask(std::uint32_t mask) { return (~mask & (~mask + 1)) == 0; }

const std::array<std::string_view, 5> kKeywords = {"LocalSubnet", "DNS", "DHCP", "WINS", "DefaultGateway"};

// Empty when `item` is a form netsh takes, else why not.
std::string CheckItem(std::string_view item) {
  // Appended, not "\"" + std::string(item): gcc 12 -O3 for i686 warns
  // falsely (-Wrestrict) on a literal plus a temporary string.
  std::string quoted(1, '"');
  quoted.append(item);
  quoted += '"';
  for (std::string_view keyword : kKeywords) {
    if (EqualsNoCase(item, keyword)) return "";
  }
  if (EqualsNoCase(item, "Any")) return quoted + ": Any stands alone, not in a list";
  if (item.find(':') != std::string_view::npos) return quoted + ": an IPv6 address (port 3873 answers on IPv4 only)";
  if (const std::size_t dash = item.find('-'); dash != std::string_view::npos) {
    const std::optional<std::uint32_t> low = Ipv4(item.substr(0, dash)), high = Ipv4(item.substr(dash + 1));
    if (!low || !high) return quoted + ": a range is two IPv4 addresses, low-high (10.4.0.1-10.4.0.50)";
    if (*low > *high) return quoted + ": the range's first address is above its last";
    return "";
  }
  if (const std::size_t slash = item.find('/'); slash != std::string_view::npos) {
    const std::string_view bits = item.substr(slash + 1);
    if (!Ipv4(item.substr(0, slash))) return quoted + ": a network is an IPv4 address/prefix length or mask (10.4.0.0/22)";
    if (const std::optional<unsigned> length = Decimal(bits, 2)) {
      return *length <= 32 ? "" : quoted + ": a prefix length is 0 to 32";
    }
    const std::optional<std::uint32_t> mask = Ipv4(bits);
    if (!mask) return quoted + ": a network is an IPv4 address/prefix length or mask (10.4.0.0/22)";
    return ContiguousMask(*mask) ? "" : quoted + ": the mask's ones are not contiguous";
  }
  if (Ipv4(item)) return "";
  return quoted + " is not an IPv4 address, a network (a/n), a range (a-b) or one of LocalSubnet, DNS, DHCP, "
                  "WINS, DefaultGateway, Any";
}

}  // namespace

RemoteAddresses CheckRemoteAddresses(std::string_view value) {
  RemoteAddresses result;
  if (Trim(value).empty()) {
    result.reason = "no addresses";
    return result;
  }
  if (EqualsNoCase(Trim(value), "Any")) {
    result.accepted = true;
    result.value = std::string(Trim(value));
    return result;
  }
  for (std::size_t at = 0;;) {
    const std::size_t comma = value.find(',', at);
    const std::string_view item = Trim(value.substr(at, comma == std::string_view::npos ? comma : comma - at));
    if (item.empty()) {
      result.reason = "an empty item (two commas together, or a comma at an end)";
      return result;
    }
    if (std::string why = CheckItem(item); !why.empty()) {
      result.reason = why;
      return result;
    }
    if (!result.value.empty()) result.value += ',';
    result.value += item;
    if (comma == std::string_view::npos) break;
    at = comma + 1;
  }
  result.accepted = true;
  return result;
}

std::string DescribeRemoteCheck(std::string_view property, std::string_view value, const RemoteAddresses& result) {
  std::string line = std::string(property) + " = \"" + std::string(value) + "\": ";
  if (!result.accepted) return line + "refused, nothing was changed: " + result.reason;
  if (result.value == value) return line + "the firewall rule takes it as it is";
  return line + "the firewall rule takes \"" + result.value + "\" (blanks removed)";
}

}  // namespace kestrio::text
