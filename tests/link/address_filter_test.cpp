#include "link/address_filter.hpp"

#include <gtest/gtest.h>

namespace parley::link {
namespace {

using namespace TailscaleAddressFilter;

TEST(TailscaleAddressFilter, AdmitsTailnetAndLoopbackAddressesInEveryForm) {
  for (const char* address : {"100.64.0.1", "100.127.255.254", "127.0.0.1", "127.5.5.5", "::1",
                              "::ffff:100.64.0.1", "::ffff:127.0.0.1", "fd7a:115c:a1e0::1",
                              "fd7a:115c:a1e0:ab12::5%utun4", "FD7A:115C:A1E0::abcd", "::1%lo"})
    EXPECT_TRUE(isAllowed(address)) << address;
}

TEST(TailscaleAddressFilter, RefusesEverythingElse) {
  for (const char* address :
       {"100.63.255.255", "100.128.0.1", "10.0.0.1", "192.168.1.2", "::ffff:10.0.0.1",
        "fd7a:115c:a1e1::1", "fe80::1", "desk.tail1234.ts.net", "", "127.1", "100.64.0.1 ",
        "::127.0.0.1", "::", "0.0.0.0", "%", "%100.64.0.1"})
    EXPECT_FALSE(isAllowed(address)) << address;
}

TEST(TailscaleAddressFilter, LoopbackIsAnyOf127SlashEightAndColonColonOne) {
  EXPECT_TRUE(isLoopback("127.255.0.1"));
  EXPECT_TRUE(isLoopback("::ffff:127.0.0.2"));
  EXPECT_TRUE(isLoopback("::1%lo0"));
  EXPECT_FALSE(isLoopback("100.64.0.1"));
  EXPECT_FALSE(isLoopback("::2"));
  EXPECT_FALSE(isLoopback("localhost"));
}

TEST(TailscaleAddressFilter, WhenTailscaleNamesTheTailnetsMachinesOnlyTheyAndLoopbackAreAdmitted) {
  const std::vector<std::string> known{"100.100.1.2", "fd7a:115c:a1e0::5"};
  struct Case {
    const char* address;
    bool withList;
    bool withoutList;
  };
  for (const auto& [address, withList, withoutList] : std::vector<Case>{
           {"100.100.1.2", true, true},
           {"::ffff:100.100.1.2", true, true},
           {"FD7A:115C:A1E0::5%tailscale0", true, true},
           {"100.100.1.3", false, true},  // in the range, but no machine of this tailnet
           {"fd7a:115c:a1e0::6", false, true},
           {"127.0.0.1", true, true},
           {"::1", true, true},
           {"10.0.0.1", false, false},
           {"not an address", false, false}}) {
    EXPECT_EQ(isAllowed(address, known), withList) << address;
    EXPECT_EQ(isAllowed(address, std::nullopt), withoutList) << address;
  }
  EXPECT_FALSE(isAllowed("100.100.1.2", std::vector<std::string>{}));
}

TEST(TailscaleAddressFilter, EndpointsAreJudgedByTheirAddress) {
  using boost::asio::ip::make_address;
  using boost::asio::ip::tcp;
  EXPECT_TRUE(isAllowed(tcp::endpoint(make_address("100.100.1.2"), 50000)));
  EXPECT_TRUE(isAllowed(tcp::endpoint(make_address("::ffff:127.0.0.1"), 1)));
  EXPECT_FALSE(isAllowed(tcp::endpoint(make_address("192.168.0.10"), 8787)));
}

}  // namespace
}  // namespace parley::link
