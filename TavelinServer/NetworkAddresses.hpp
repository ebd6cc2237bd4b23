#pragma once

#include <array>
#include <asio/ip/address.hpp>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Who counts as "on the local network", and which of this machine's addresses a phone should
// use to reach it.
namespace tavelin::NetworkAddresses {

// 10/8, 127/8, 169.254/16, 172.16/12 and 192.168/16; only for exactly four bytes.
bool isPrivateIPv4(std::span<const std::uint8_t> bytes);

// Private IPv4 (also IPv4-mapped IPv6), and IPv6 loopback, link-local or unique local.
bool isLocalAddress(const asio::ip::address& address);
// A peer given by name is local only as exactly "localhost".
bool isLocalHostName(std::string_view name);

// The address as peers are counted and logged: IPv4-mapped IPv6 as plain IPv4 text.
std::string peerAddress(const asio::ip::address& address);

// The host of a Host header: "[::1]:8080" → "::1", "a:80" → "a", a bare IPv6 address unchanged.
std::string stripPort(std::string_view host);

struct InterfaceAddress {
  std::string interfaceName;
  std::string address;  // numeric IPv4
};

// The usable IPv4 addresses (up, not loopback, not link-local), best first: wired and wireless
// LAN, then other interfaces, then bridges and containers, then tunnels and VPNs; stable within
// a rank, duplicates dropped.
std::vector<std::string> rankAddresses(const std::vector<InterfaceAddress>& interfaces);
std::vector<std::string> localAddresses();
// The first local address, or "127.0.0.1" without one.
std::string preferredLocalAddress();

}  // namespace tavelin::NetworkAddresses
