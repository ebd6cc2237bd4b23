#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "TavelinHost/Diagnostics/NetworkDiagnostics.hpp"

namespace tavelin {
namespace {

using Verdict = FirewallStatus::Verdict;

// Tools that answer what was recorded from them; any other tool is not installed.
struct RecordedTools {
  std::map<std::string, ProcessResult> answers;  // "program arg arg" → result
  std::vector<std::string> asked;

  ProcessRunner runner() {
    return [this](const std::string& program, const std::vector<std::string>& arguments) {
      std::string call = program;
      for (const auto& argument : arguments) call += " " + argument;
      asked.push_back(call);
      const auto found = answers.find(call);
      return found == answers.end() ? std::nullopt : std::optional(found->second);
    };
  }
  void say(const std::string& call, std::string output, int exitCode = 0) {
    answers[call] = {exitCode, std::move(output), {}};
  }
};

TEST(ReachabilityCheck, AnHttpAnswerOfAnyKindIsReachableNoAnswerIsNot) {
  RecordedTools tools;
  EXPECT_TRUE(ReachabilityCheck::check("127.0.0.1", 8787, 3, tools.runner()));
  EXPECT_TRUE(ReachabilityCheck::check("", 8787, 3, tools.runner()));
  EXPECT_TRUE(tools.asked.empty());
  EXPECT_TRUE(ReachabilityCheck::check("192.168.1.20", 8787, 3, tools.runner()));  // no curl
  EXPECT_EQ(tools.asked.back(),
            "curl -s -m 3 -o /dev/null -w %{http_code} http://192.168.1.20:8787/");
  const std::string call = "curl -s -m 3 -o /dev/null -w %{http_code} http://192.168.1.20:8787/";
  for (const auto& [output, reachable] : std::vector<std::pair<std::string, bool>>{
           {"000", false}, {"", false}, {"404\n", true}, {"200", true}}) {
    tools.say(call, output, output == "000" ? 7 : 0);
    EXPECT_EQ(ReachabilityCheck::check("192.168.1.20", 8787, 3, tools.runner()), reachable)
        << output;
  }
}

TEST(ReachabilityCheck, ProbesARealListenerWithCurl) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const auto port = ntohs(address.sin_port);
  std::thread server([listener] {
    const int client = ::accept(listener, nullptr, nullptr);
    char request[1024];
    [[maybe_unused]] const auto got = ::read(client, request, sizeof request);
    const char answer[] =
        "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    [[maybe_unused]] const auto sent = ::write(client, answer, sizeof answer - 1);
    ::close(client);
  });
  EXPECT_TRUE(ReachabilityCheck::check("localhost", port, 3));
  server.join();
  ::close(listener);  // nobody listens there now
  EXPECT_FALSE(ReachabilityCheck::check("localhost", port, 3));
}

TEST(FirewallStatus, UfwRulesDecideForThePort) {
  RecordedTools tools;
  const std::string header =
      "Status: active\nLogging: on (low)\nDefault: deny (incoming), allow (outgoing), disabled "
      "(routed)\nNew profiles: skip\n\nTo                         Action      From\n--        "
      "                 ------      ----\n";
  auto verdict = [&](const std::string& rules) {
    tools.say("ufw status verbose", header + rules);
    return FirewallStatus::check(8787, tools.runner());
  };
  EXPECT_EQ(verdict("22/tcp                     ALLOW IN    Anywhere\n").verdict,
            Verdict::notListed);
  EXPECT_EQ(verdict("22/tcp                     ALLOW IN    Anywhere\n").fixCommand,
            "sudo ufw allow 8787/tcp");
  EXPECT_EQ(verdict("8787/tcp                   ALLOW IN    Anywhere\n").verdict,
            Verdict::reachable);
  EXPECT_EQ(verdict("8000:9000/tcp (v6)         ALLOW IN    Anywhere (v6)\n").verdict,
            Verdict::reachable);
  EXPECT_EQ(verdict("8787/udp                   ALLOW IN    Anywhere\n").verdict,
            Verdict::notListed);  // an opening, but not for TCP
  EXPECT_EQ(
      verdict("8787                       DENY IN     Anywhere\n22 ALLOW IN Anywhere\n").verdict,
      Verdict::blocked);
  EXPECT_EQ(verdict("").verdict, Verdict::blockAll);
  EXPECT_EQ(verdict("Anywhere                   ALLOW IN    192.168.1.0/24\n").verdict,
            Verdict::reachable);

  tools.say("ufw status verbose", "Status: inactive\n");
  EXPECT_EQ(FirewallStatus::check(8787, tools.runner()).verdict, Verdict::reachable);

  // Not root: only the configuration file can be read.
  tools.say("ufw status verbose", "", 1);
  tools.say("cat /etc/ufw/ufw.conf", "# comment\nENABLED=yes\nLOGLEVEL=low\n");
  EXPECT_EQ(FirewallStatus::check(8787, tools.runner()).verdict, Verdict::unknown);
  tools.say("cat /etc/ufw/ufw.conf", "ENABLED=no\n");
  EXPECT_EQ(FirewallStatus::check(8787, tools.runner()).verdict, Verdict::reachable);
}

TEST(FirewallStatus, FirewalldAndTheKernelsRules) {
  RecordedTools tools;
  tools.say("firewall-cmd --state", "running\n");
  tools.say("firewall-cmd --query-panic", "no\n", 1);
  tools.say("firewall-cmd --list-ports", "22/tcp 8000-9000/tcp\n");
  EXPECT_EQ(FirewallStatus::check(8787, tools.runner()).verdict, Verdict::reachable);
  tools.say("firewall-cmd --list-ports", "22/tcp 8787/udp\n");
  const auto closed = FirewallStatus::check(8787, tools.runner());
  EXPECT_EQ(closed.verdict, Verdict::notListed);
  EXPECT_EQ(closed.tool, "firewalld");
  EXPECT_EQ(closed.fixCommand,
            "sudo firewall-cmd --add-port=8787/tcp && sudo firewall-cmd --permanent "
            "--add-port=8787/tcp");
  tools.say("firewall-cmd --query-panic", "yes\n");
  EXPECT_EQ(FirewallStatus::check(8787, tools.runner()).verdict, Verdict::blockAll);

  tools.answers.clear();
  const std::string chain =
      "table inet filter {\n\tchain input {\n\t\ttype filter hook input priority filter; policy "
      "drop;\n\t\tct state established,related accept\n\t\tiif \"lo\" accept\n";
  auto nft = [&](const std::string& rules) {
    tools.say("nft list ruleset", chain + rules + "\t}\n}\n");
    return FirewallStatus::check(8787, tools.runner());
  };
  EXPECT_EQ(nft("\t\ttcp dport { 22, 8787 } accept\n").verdict, Verdict::reachable);
  const auto listed = nft("\t\ttcp dport 22 accept\n");
  EXPECT_EQ(listed.verdict, Verdict::notListed);
  EXPECT_EQ(listed.fixCommand, "sudo nft insert rule inet filter input tcp dport 8787 accept");
  EXPECT_EQ(nft("\t\ttcp dport 8787 drop\n\t\ttcp dport 22 accept\n").verdict, Verdict::blocked);
  EXPECT_EQ(nft("").verdict, Verdict::blockAll);
  tools.say("nft list ruleset", "", 1);  // not root
  EXPECT_EQ(FirewallStatus::check(8787, tools.runner()).verdict, Verdict::unknown);

  tools.answers.clear();
  tools.say("iptables -S INPUT",
            "-P INPUT DROP\n-A INPUT -i lo -j ACCEPT\n-A INPUT -p tcp -m tcp --dport 8787 -j "
            "ACCEPT\n");
  EXPECT_EQ(FirewallStatus::check(8787, tools.runner()).verdict, Verdict::reachable);
  tools.say("iptables -S INPUT", "-P INPUT ACCEPT\n-A INPUT -p tcp -m tcp --dport 8787 -j DROP\n");
  EXPECT_EQ(FirewallStatus::check(8787, tools.runner()).verdict, Verdict::blocked);

  tools.answers.clear();  // no firewall tool at all
  EXPECT_EQ(FirewallStatus::check(8787, tools.runner()).verdict, Verdict::unknown);
}

}  // namespace
}  // namespace tavelin
