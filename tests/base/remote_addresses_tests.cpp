// The firewall rule's remote addresses (the package's DNCREMOTE), checked
// before the installer changes anything.
#include <gtest/gtest.h>

#include "base/remote_addresses.h"

namespace kestrio::text {
namespace {

TEST(RemoteAddresses, TakesWhatNetshTakesAndRefusesTheRest) {
  struct Case {
    const char* value;
    const char* taken;  // nullptr: refused
  };
  const Case cases[] = {
      {"LocalSubnet", "LocalSubnet"},
      {"localsubnet,dns,DHCP,Wins,defaultgateway", "localsubnet,dns,DHCP,Wins,defaultgateway"},
      {"any", "any"},
      {" Any ", "Any"},
      {"10.4.0.7", "10.4.0.7"},
      {"0.0.0.0/0,255.255.255.255/32", "0.0.0.0/0,255.255.255.255/32"},
      {"10.4.0.0/255.255.252.0", "10.4.0.0/255.255.252.0"},
      {"10.4.0.1-10.4.0.50,10.4.0.9-10.4.0.9", "10.4.0.1-10.4.0.50,10.4.0.9-10.4.0.9"},
      // The plant's value: blanks around the items go.
      {"10.4.0.0/22, 10.5.0.0/24", "10.4.0.0/22,10.5.0.0/24"},
      {"\t10.4.0.0/22 ,LocalSubnet  ", "10.4.0.0/22,LocalSubnet"},
      // Blanks inside an item, empty items, an empty value.
      {"10.4.0.0 /22", nullptr},
      {"10.4.0.1 - 10.4.0.50", nullptr},
      {"10.4.0.0/22,,10.5.0.0/24", nullptr},
      {"10.4.0.0/22,", nullptr},
      {",LocalSubnet", nullptr},
      {"", nullptr},
      {"  ", nullptr},
      // Addresses, networks and ranges netsh would refuse, or read otherwise.
      {"10.4.0.256", nullptr},
      {"10.4.0", nullptr},
      {"10.4.0.0.1", nullptr},
      {"10.04.0.1", nullptr},
      {"10.4.0.0/33", nullptr},
      {"10.4.0.0/022", nullptr},
      {"10.4.0.0/255.0.255.0", nullptr},
      {"10.4.0.50-10.4.0.1", nullptr},
      {"10.4.0.1-", nullptr},
      {"any,10.4.0.1", nullptr},
      {"fe80::1", nullptr},
      {"LocalSubnet program=C:\\x.exe", nullptr},
      {"\"10.4.0.7\"", nullptr},
      {"cnc-17.plant", nullptr},
  };
  for (const Case& c : cases) {
    const RemoteAddresses result = CheckRemoteAddresses(c.value);
    EXPECT_EQ(result.accepted, c.taken != nullptr) << '"' << c.value << "\": " << result.reason;
    if (c.taken != nullptr) {
      EXPECT_EQ(result.value, c.taken) << c.value;
    }
    EXPECT_EQ(result.reason.empty(), result.accepted) << c.value;
  }
}

TEST(RemoteAddresses, TheLogLineNamesThePropertyTheValueAndTheOutcome) {
  EXPECT_EQ(DescribeRemoteCheck("DNCREMOTE", "LocalSubnet", CheckRemoteAddresses("LocalSubnet")),
            "DNCREMOTE = \"LocalSubnet\": the firewall rule takes it as it is");
  EXPECT_EQ(DescribeRemoteCheck("DNCREMOTE", "10.4.0.0/22, 10.5.0.0/24", CheckRemoteAddresses("10.4.0.0/22, 10.5.0.0/24")),
            "DNCREMOTE = \"10.4.0.0/22, 10.5.0.0/24\": the firewall rule takes \"10.4.0.0/22,10.5.0.0/24\" "
            "(blanks removed)");
  EXPECT_EQ(DescribeRemoteCheck("DNCREMOTE", "10.4.0.0/22,,x", CheckRemoteAddresses("10.4.0.0/22,,x")),
            "DNCREMOTE = \"10.4.0.0/22,,x\": refused, nothing was changed: an empty item (two commas together, "
            "or a comma at an end)");
  EXPECT_EQ(CheckRemoteAddresses("10.4.0.0/22,10.4.0.300").reason,
            "\"10.4.0.300\" is not an IPv4 address, a network (a/n), a range (a-b) or one of LocalSubnet, DNS, "
            "DHCP, WINS, DefaultGateway, Any");
}

}  // namespace
}  // namespace kestrio::text
