// The remote addresses of a Windows Firewall rule, as netsh advfirewall's
// remoteip= takes them on Windows 7, checked before the rule is made.
//
// The Windows Installer package passes its property DNCREMOTE to netsh; a
// value netsh refuses fails the install late, after the older version has
// been taken off.  CheckRemoteAddresses says early whether netsh will take
// the value, and in which form: the items of a comma-separated list with
// the blanks around them removed (netsh refuses "a, b").
#pragma once

#include <string>
#include <string_view>

namespace kestrio::text {

struct RemoteAddresses {
  bool accepted = false;
  std::string value;   // accepted: the list as netsh takes it
  std::string reason;  // refused: what is wrong, naming the item
};

// Accepted items (letters in any case):
//   LocalSubnet, DNS, DHCP, WINS, DefaultGateway   netsh's keywords
//   Any                                           alone only: every address
//   10.4.0.7                                      an IPv4 address
//   10.4.0.0/22, 10.4.0.0/255.255.252.0           a network (prefix or mask)
//   10.4.0.1-10.4.0.50                            a range, low to high
// IPv4 only: the DNC server listens on IPv4, so an IPv6 item would open
// nothing and is refused.  Blanks and tabs around an item are removed; any
// other blank, an empty item (",,", a comma at an end) or an empty value is
// refused.
RemoteAddresses CheckRemoteAddresses(std::string_view value);

// The line the installer's log gets for PROPERTY = VALUE: what the rule
// takes, or why the value is refused.
std::string DescribeRemoteCheck(std::string_view property, std::string_view value, const RemoteAddresses& result);

}  // namespace kestrio::text
