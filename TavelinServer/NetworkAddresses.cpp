#include "TavelinServer/NetworkAddresses.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

namespace tavelin::NetworkAddresses {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

int rank(std::string_view name) {
  for (std::string_view lan : {"en", "eth", "wl"}) {
    if (startsWith(name, lan)) return 0;
  }
  for (std::string_view bridge : {"br", "docker", "virbr", "veth"}) {
    if (startsWith(name, bridge)) return 5;
  }
  for (std::string_view tunnel : {"tun", "tap", "wg", "tailscale", "ppp"}) {
    if (startsWith(name, tunnel)) return 8;
  }
  return 3;
}

}  // namespace

bool isPrivateIPv4(std::span<const std::uint8_t> b) {
  if (b.size() != 4) return false;
  return b[0] == 10 || b[0] == 127 || (b[0] == 169 && b[1] == 254) ||
         (b[0] == 172 && (b[1] & 0xF0) == 0x10) || (b[0] == 192 && b[1] == 168);
}

bool isLocalAddress(const asio::ip::address& address) {
  if (address.is_v4()) return isPrivateIPv4(address.to_v4().to_bytes());
  const auto v6 = address.to_v6();
  if (v6.is_v4_mapped()) {
    return isPrivateIPv4(asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_bytes());
  }
  return v6.is_loopback() || v6.is_link_local() || (v6.to_bytes()[0] & 0xFE) == 0xFC;
}

bool isLocalHostName(std::string_view name) { return name == "localhost"; }

std::string peerAddress(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  }
  return address.to_string();
}

std::string stripPort(std::string_view host) {
  if (!host.empty() && host[0] == '[') {
    const auto close = host.find(']');
    if (close == std::string_view::npos) return std::string(host);
    return std::string(host.substr(1, close - 1));
  }
  const auto colon = host.find(':');
  if (colon != std::string_view::npos && host.find(':', colon + 1) == std::string_view::npos) {
    return std::string(host.substr(0, colon));
  }
  return std::string(host);
}

std::vector<std::string> rankAddresses(const std::vector<InterfaceAddress>& interfaces) {
  std::vector<InterfaceAddress> ranked;
  for (const auto& entry : interfaces) {
    if (!startsWith(entry.address, "169.254.")) ranked.push_back(entry);
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    return rank(a.interfaceName) < rank(b.interfaceName);
  });
  std::vector<std::string> addresses;
  std::set<std::string> seen;
  for (const auto& entry : ranked) {
    if (seen.insert(entry.address).second) addresses.push_back(entry.address);
  }
  return addresses;
}

std::vector<std::string> localAddresses() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
  std::vector<InterfaceAddress> interfaces;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    sockaddr_in address{};
    std::memcpy(&address, entry->ifa_addr, sizeof address);
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) continue;
    interfaces.push_back({entry->ifa_name != nullptr ? entry->ifa_name : "", text});
  }
  return rankAddresses(interfaces);
}

std::string preferredLocalAddress() {
  const auto addresses = localAddresses();
  return addresses.empty() ? "127.0.0.1" : addresses.front();
}

}  // namespace tavelin::NetworkAddresses
