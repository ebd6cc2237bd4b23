#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "TavelinHost/Diagnostics/ChildProcess.hpp"

// Why a phone on the local network may not reach the host: a probe of the host's own address,
// and what the active firewall (ufw, firewalld, nftables or iptables) says about the port.
// Everything here blocks on child processes: never on the main thread.
namespace tavelin {

// The tools run for real: found on the PATH (and in /usr/sbin, /sbin), 5 s at most each.
ProcessRunner systemProcessRunner();

namespace ReachabilityCheck {

// Whether the host answers HTTP at host:port. An empty host and 127.0.0.1 count as reachable,
// and so does a probe that cannot run at all.
bool check(const std::string& host, std::uint16_t port, int timeoutSeconds,
           const ProcessRunner& run = systemProcessRunner());

}  // namespace ReachabilityCheck

namespace FirewallStatus {

enum class Verdict { reachable, blockAll, blocked, notListed, unknown };

struct Finding {
  Verdict verdict = Verdict::unknown;
  std::string tool;        // "ufw", "firewalld", "nftables", "iptables"; empty when none
  std::string fixCommand;  // for blocked and notListed: what to run to let phones in
};

// What the first active firewall says about incoming TCP connections to `port`.
Finding check(std::uint16_t port, const ProcessRunner& run = systemProcessRunner());

}  // namespace FirewallStatus

}  // namespace tavelin
