#include "TavelinHost/Diagnostics/NetworkDiagnostics.hpp"

#include <unistd.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "TavelinKit/Foundation/UnicodeText.hpp"

namespace tavelin {

namespace {

using Verdict = FirewallStatus::Verdict;
using Finding = FirewallStatus::Finding;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string word; stream >> word;) result.push_back(word);
  return result;
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Whether a port list such as "8787", "8000:9000", "8000-9000" or "22,80,8787" covers `port`.
bool coversPort(const std::string& list, std::uint16_t port) {
  std::istringstream items(list);
  for (std::string item; std::getline(items, item, ',');) {
    item = unicode::trimWhitespaceAndNewlines(item);
    const auto dash = item.find_first_of(":-");
    try {
      if (dash == std::string::npos) {
        if (!item.empty() && std::stoul(item) == port) return true;
      } else if (std::stoul(item.substr(0, dash)) <= port &&
                 port <= std::stoul(item.substr(dash + 1))) {
        return true;
      }
    } catch (const std::exception&) {
      // a service name or something else that is not a number: not this port
    }
  }
  return false;
}

// ---- ufw

std::optional<Finding> fromUfw(std::uint16_t port, const ProcessRunner& run, bool& off) {
  const std::string fix = "sudo ufw allow " + std::to_string(port) + "/tcp";
  const auto status = run("ufw", {"status", "verbose"});
  if (!status) return std::nullopt;  // not installed
  if (status->exitCode != 0 || !contains(status->output, "Status:")) {
    // Only root may ask; the configuration file still says whether it is on.
    const auto config = run("cat", {"/etc/ufw/ufw.conf"});
    if (config && std::regex_search(config->output, std::regex(R"((^|\n)\s*ENABLED\s*=\s*yes)"))) {
      return Finding{Verdict::unknown, "ufw", fix};
    }
    off = true;  // another firewall may still be on
    return std::nullopt;
  }
  if (contains(status->output, "Status: inactive")) {
    off = true;
    return std::nullopt;
  }

  std::string incoming = "deny";
  bool anyAllow = false;
  bool inRules = false;
  for (const auto& line : lines(status->output)) {
    std::smatch policy;
    if (std::regex_search(line, policy, std::regex(R"(Default:\s*(\w+)\s*\(incoming\))"))) {
      incoming = lower(policy[1]);
      continue;
    }
    if (line.rfind("--", 0) == 0) {
      inRules = true;
      continue;
    }
    if (!inRules || line.empty()) continue;
    // Columns: To, Action (ALLOW IN, DENY, ...), From; separated by runs of spaces.
    std::smatch rule;
    if (!std::regex_search(
            line, rule,
            std::regex(R"(^(.*?)\s{2,}(ALLOW|DENY|REJECT|LIMIT)(\s+(IN|OUT|FWD))?\s)"))) {
      continue;
    }
    if (rule[4] == "OUT" || rule[4] == "FWD") continue;
    const std::string action = rule[2];
    if (action == "ALLOW" || action == "LIMIT") anyAllow = true;
    std::string to = std::regex_replace(std::string(rule[1]), std::regex(R"(\s*\(v6\)\s*$)"), "");
    const auto target = words(to);
    if (target.empty()) continue;
    std::string ports = target.back();
    bool matches = ports == "Anywhere";
    if (!matches) {
      const auto slash = ports.find('/');
      const std::string protocol = slash == std::string::npos ? "" : ports.substr(slash + 1);
      if (slash != std::string::npos) ports = ports.substr(0, slash);
      matches = (protocol.empty() || protocol == "tcp") && coversPort(ports, port);
    }
    if (!matches) continue;
    return Finding{action == "ALLOW" || action == "LIMIT" ? Verdict::reachable : Verdict::blocked,
                   "ufw", fix};
  }
  if (incoming == "allow") return Finding{Verdict::reachable, "ufw", fix};
  return Finding{anyAllow ? Verdict::notListed : Verdict::blockAll, "ufw", fix};
}

// ---- firewalld

std::optional<Finding> fromFirewalld(std::uint16_t port, const ProcessRunner& run, bool& off) {
  const std::string fix =
      "sudo firewall-cmd --add-port=" + std::to_string(port) +
      "/tcp && sudo firewall-cmd --permanent --add-port=" + std::to_string(port) + "/tcp";
  const auto state = run("firewall-cmd", {"--state"});
  if (!state) return std::nullopt;
  if (unicode::trimWhitespaceAndNewlines(state->output) != "running") {
    off = true;
    return std::nullopt;
  }
  if (const auto panic = run("firewall-cmd", {"--query-panic"});
      panic && unicode::trimWhitespaceAndNewlines(panic->output) == "yes") {
    return Finding{Verdict::blockAll, "firewalld", fix};
  }
  const auto ports = run("firewall-cmd", {"--list-ports"});
  if (!ports || ports->exitCode != 0) return Finding{Verdict::unknown, "firewalld", fix};
  for (const auto& entry : words(ports->output)) {
    const auto slash = entry.find('/');
    if (slash != std::string::npos && entry.substr(slash + 1) == "tcp" &&
        coversPort(entry.substr(0, slash), port)) {
      return Finding{Verdict::reachable, "firewalld", fix};
    }
  }
  return Finding{Verdict::notListed, "firewalld", fix};
}

// ---- nftables and iptables: an input chain's policy and its rules in order

struct Rule {
  enum class Match { everything, port, otherPort, notNew } match;
  bool accepts;
};

// The verdict of one input chain for new connections to the port; nothing when it lets them
// pass on.
std::optional<Verdict> judge(bool policyDrops, const std::vector<Rule>& rules) {
  bool anyOpening = false;
  for (const auto& rule : rules) {
    if (rule.match == Rule::Match::notNew) continue;
    if (rule.match == Rule::Match::otherPort) {
      anyOpening = anyOpening || rule.accepts;
      continue;
    }
    if (rule.accepts) return std::nullopt;  // this port, or everything, is let in
    return rule.match == Rule::Match::port ? Verdict::blocked : Verdict::blockAll;
  }
  if (!policyDrops) return std::nullopt;
  return anyOpening ? Verdict::notListed : Verdict::blockAll;
}

std::optional<Finding> fromNftables(std::uint16_t port, const ProcessRunner& run) {
  const auto ruleset = run("nft", {"list", "ruleset"});
  if (!ruleset) return std::nullopt;
  if (ruleset->exitCode != 0) return Finding{Verdict::unknown, "nftables", {}};
  std::string family, table, chain;
  bool isInput = false, drops = false;
  std::vector<Rule> rules;
  std::optional<Finding> finding;
  auto closeChain = [&] {
    if (isInput && !finding) {
      if (const auto verdict = judge(drops, rules)) {
        finding = Finding{*verdict, "nftables",
                          "sudo nft insert rule " + family + " " + table + " " + chain +
                              " tcp dport " + std::to_string(port) + " accept"};
      }
    }
    isInput = drops = false;
    rules.clear();
    chain.clear();
  };
  for (const auto& raw : lines(ruleset->output)) {
    const std::string line = unicode::trimWhitespaceAndNewlines(raw);
    const auto w = words(line);
    if (w.size() >= 3 && w[0] == "table") {
      family = w[1];
      table = w[2];
    } else if (w.size() >= 2 && w[0] == "chain") {
      closeChain();
      chain = w[1];
    } else if (contains(line, "hook input")) {
      isInput = true;
      drops = contains(line, "policy drop") || contains(line, "policy reject");
    } else if (line == "}") {
      if (!chain.empty()) closeChain();
    } else if (!chain.empty() && !line.empty()) {
      const bool accepts = std::regex_search(line, std::regex(R"(\baccept\b)"));
      const bool refuses = std::regex_search(line, std::regex(R"(\b(drop|reject)\b)"));
      if (!accepts && !refuses) continue;  // counters, jumps, logging
      Rule rule{Rule::Match::everything, accepts};
      std::smatch ports;
      if (contains(line, "ct state") || contains(line, "iif") || contains(line, "iifname")) {
        rule.match = Rule::Match::notNew;  // replies and loopback: not a phone's new connection
      } else if (std::regex_search(
                     line, ports,
                     std::regex(R"(tcp dport \{?\s*([^}]+?)\s*\}?\s+(accept|drop|reject)\b)"))) {
        rule.match =
            coversPort(std::regex_replace(std::string(ports[1]), std::regex(R"(\s)"), ""), port)
                ? Rule::Match::port
                : Rule::Match::otherPort;
      } else if (contains(line, "dport") || contains(line, "udp") || contains(line, "icmp")) {
        rule.match = Rule::Match::otherPort;
      }
      rules.push_back(rule);
    }
  }
  closeChain();
  return finding ? finding : std::optional(Finding{Verdict::reachable, "nftables", {}});
}

std::optional<Finding> fromIptables(std::uint16_t port, const ProcessRunner& run) {
  const auto listing = run("iptables", {"-S", "INPUT"});
  if (!listing) return std::nullopt;
  if (listing->exitCode != 0) return Finding{Verdict::unknown, "iptables", {}};
  bool drops = false;
  std::vector<Rule> rules;
  for (const auto& line : lines(listing->output)) {
    const auto w = words(line);
    if (w.size() >= 3 && w[0] == "-P" && w[1] == "INPUT")
      drops = w[2] == "DROP" || w[2] == "REJECT";
    if (w.size() < 2 || w[0] != "-A" || w[1] != "INPUT") continue;
    const auto target = std::find(w.begin(), w.end(), "-j");
    if (target == w.end() || target + 1 == w.end()) continue;
    const bool accepts = target[1] == "ACCEPT";
    if (!accepts && target[1] != "DROP" && target[1] != "REJECT") continue;
    Rule rule{Rule::Match::everything, accepts};
    const auto option = [&](const char* name) {
      const auto found = std::find(w.begin(), w.end(), name);
      return found != w.end() && found + 1 != w.end() ? std::optional(found[1]) : std::nullopt;
    };
    if (option("-i") == "lo" || contains(line, "--state") || contains(line, "--ctstate")) {
      rule.match = Rule::Match::notNew;
    } else if (const auto ports = option("--dport") ? option("--dport") : option("--dports")) {
      const bool tcp = option("-p") == "tcp";
      rule.match = tcp && coversPort(*ports, port) ? Rule::Match::port : Rule::Match::otherPort;
    } else if (option("-p") && option("-p") != "tcp") {
      rule.match = Rule::Match::otherPort;
    }
    rules.push_back(rule);
  }
  const std::string fix =
      "sudo iptables -I INPUT -p tcp --dport " + std::to_string(port) + " -j ACCEPT";
  const auto verdict = judge(drops, rules);
  return Finding{verdict.value_or(Verdict::reachable), "iptables", fix};
}

}  // namespace

ProcessRunner systemProcessRunner() {
  return [](const std::string& program, const std::vector<std::string>& arguments) {
    // Firewall tools live in the system directories, which a user's PATH may leave out.
    for (const char* directory : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
      const std::string path = directory + program;
      if (::access(path.c_str(), X_OK) == 0) {
        return runProcess(path, arguments, std::chrono::seconds(5));
      }
    }
    return runProcess(program, arguments, std::chrono::seconds(5));
  };
}

bool ReachabilityCheck::check(const std::string& host, std::uint16_t port, int timeoutSeconds,
                              const ProcessRunner& run) {
  if (host.empty() || host == "127.0.0.1") return true;
  const std::string literal = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  const auto result =
      run("curl", {"-s", "-m", std::to_string(timeoutSeconds), "-o", "/dev/null", "-w",
                   "%{http_code}", "http://" + literal + ":" + std::to_string(port) + "/"});
  if (!result) return true;  // no probe: not held against the host
  const std::string code = unicode::trimWhitespaceAndNewlines(result->output);
  return !code.empty() && code != "000";
}

FirewallStatus::Finding FirewallStatus::check(std::uint16_t port, const ProcessRunner& run) {
  // A front end that is on speaks for the rules it made.
  bool frontEndOff = false;
  if (auto finding = fromUfw(port, run, frontEndOff)) return *finding;
  if (auto finding = fromFirewalld(port, run, frontEndOff)) return *finding;
  // Otherwise the kernel's rules, seen through both tools: whichever keeps phones out counts.
  const std::optional<Finding> views[] = {fromNftables(port, run), fromIptables(port, run)};
  for (const auto& view : views) {
    if (view && view->verdict != Verdict::reachable && view->verdict != Verdict::unknown) {
      return *view;
    }
  }
  for (const auto& view : views) {
    if (view && view->verdict == Verdict::reachable) return *view;
  }
  if (views[0]) return *views[0];
  if (views[1]) return *views[1];
  // Nothing else to ask: a firewall that is installed but off lets everyone in.
  return frontEndOff ? Finding{Verdict::reachable, {}, {}} : Finding{};
}

}  // namespace tavelin
