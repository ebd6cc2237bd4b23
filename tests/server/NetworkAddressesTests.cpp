#include <gtest/gtest.h>

#include "TavelinServer/NetworkAddresses.hpp"

namespace tavelin {
namespace {

using namespace NetworkAddresses;

TEST(NetworkAddresses, LocalNetworkRule) {
  for (const char* local :
       {"10.0.0.5", "172.20.1.1", "172.16.0.1", "172.31.255.255", "192.168.0.9", "169.254.3.3",
        "127.0.0.1", "::1", "fe80::1", "fd12::1", "fc00::1", "::ffff:192.168.1.2"}) {
    EXPECT_TRUE(isLocalAddress(asio::ip::make_address(local))) << local;
  }
  for (const char* remote : {"100.64.0.1", "8.8.8.8", "172.32.0.1", "172.15.0.1", "192.169.0.1",
                             "169.253.1.1", "2001:db8::1", "fe00::1", "::ffff:8.8.8.8", "::"}) {
    EXPECT_FALSE(isLocalAddress(asio::ip::make_address(remote))) << remote;
  }
  const std::uint8_t five[] = {10, 0, 0, 1, 0};
  EXPECT_FALSE(isPrivateIPv4(five));
  EXPECT_TRUE(isLocalHostName("localhost"));
  EXPECT_FALSE(isLocalHostName("LOCALHOST"));
  EXPECT_FALSE(isLocalHostName("localhost.example.com"));
}

TEST(NetworkAddresses, PeersAndHostHeaders) {
  EXPECT_EQ(peerAddress(asio::ip::make_address("::ffff:192.168.1.2")), "192.168.1.2");
  EXPECT_EQ(peerAddress(asio::ip::make_address("fd12::1")), "fd12::1");
  EXPECT_EQ(stripPort("192.168.1.20:8080"), "192.168.1.20");
  EXPECT_EQ(stripPort("[::1]:8080"), "::1");
  EXPECT_EQ(stripPort("[::1"), "[::1");
  EXPECT_EQ(stripPort("fe80::1"), "fe80::1");
  EXPECT_EQ(stripPort("localhost"), "localhost");
}

TEST(NetworkAddresses, LanInterfacesComeFirstAndTunnelsLast) {
  const std::vector<InterfaceAddress> found = {
      {"tun0", "10.8.0.2"},    {"docker0", "172.17.0.1"},   {"wlp2s0", "192.168.1.20"},
      {"eth0", "169.254.1.1"}, {"enp3s0", "192.168.1.21"},  {"wg0", "10.9.0.1"},
      {"lxcbr0x", "10.0.3.1"}, {"virbr0", "192.168.122.1"}, {"eth1", "192.168.1.20"},
  };
  EXPECT_EQ(rankAddresses(found),
            (std::vector<std::string>{"192.168.1.20", "192.168.1.21", "10.0.3.1", "172.17.0.1",
                                      "192.168.122.1", "10.8.0.2", "10.9.0.1"}));
  for (const auto& address : localAddresses()) EXPECT_NE(address.rfind("127.", 0), 0u);
  EXPECT_FALSE(preferredLocalAddress().empty());
}

}  // namespace
}  // namespace tavelin
