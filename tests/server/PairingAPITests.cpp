#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TavelinServer/StreamingServer.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using nlohmann::json;

struct Answer {
  int status = 0;
  std::string reason;
  json body;
};

class PairingAPITest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir / "client");
    StreamingServerOptions options;
    options.preferredPort = static_cast<std::uint16_t>(40000 + ::getpid() % 20000);
    options.webRoot = dir / "client";
    server = StreamingServer::make(pairing, options, log.sink());
    server->pendingPairings = approvals;
    server->requireApproval = [this] { return approvalRequired.load(); };
    server->start();
  }
  void TearDown() override { server->stop(); }

  Answer call(const std::string& method, const std::string& target, const std::string& body = "",
              const std::string& headers = "") {
    testing::LoopbackClient client("127.0.0.1", server->port());
    client.send(method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body);
    const std::string response = client.readUntilClosed().value_or("");
    Answer answer;
    if (response.size() < 12) return answer;
    answer.status = std::stoi(response.substr(9, 3));
    answer.reason = response.substr(13, response.find("\r\n") - 13);
    const auto end = response.find("\r\n\r\n");
    answer.body = json::parse(response.substr(end + 4), nullptr, false);
    return answer;
  }
  Answer withToken(const std::string& method, const std::string& path, const std::string& token,
                   const std::string& scheme = "Bearer ") {
    return call(method, path, "", "Authorization: " + scheme + token + "\r\n");
  }
  std::string pairDirectly(const std::string& name) {
    const auto answer =
        call("POST", "/api/pair", json{{"pin", pairing->pin()}, {"deviceName", name}}.dump());
    EXPECT_EQ(answer.status, 200);
    return answer.body.value("token", "");
  }

  testing::TemporaryDirectory dir;
  testing::LogRecorder log;
  std::shared_ptr<PairingService> pairing = std::make_shared<PairingService>(dir / "devices.json");
  std::shared_ptr<PendingPairingStore> approvals = std::make_shared<PendingPairingStore>(pairing);
  std::atomic<bool> approvalRequired{false};
  std::shared_ptr<StreamingServer> server;
};

TEST_F(PairingAPITest, PairsWithThePinAndRefusesWrongOnes) {
  const auto paired = call("POST", "/api/pair", json{{"pin", pairing->pin()}}.dump());
  EXPECT_EQ(paired.status, 200);
  EXPECT_EQ(paired.body["deviceName"], "Phone");
  EXPECT_EQ(paired.body["token"].get<std::string>().size(), 43u);
  EXPECT_EQ(pairing->device(*Uuid::parse(paired.body["deviceId"].get<std::string>()))->name,
            "Phone");
  EXPECT_TRUE(log.waitFor("Device paired: Phone"));

  for (const std::string& body : {std::string("not json"), std::string(""), std::string("[1]"),
                                  json{{"pin", 123456}}.dump()}) {
    const auto refused = call("POST", "/api/pair", body);
    EXPECT_EQ(refused.status, 401) << body;
    EXPECT_EQ(refused.body, (json{{"error", "Incorrect PIN."}})) << body;
  }
  EXPECT_TRUE(log.waitFor("Pairing attempt rejected"));
  call("POST", "/api/pair", "{}");  // the fifth wrong PIN locks
  const auto locked = call("POST", "/api/pair", json{{"pin", pairing->pin()}}.dump());
  EXPECT_EQ(locked.status, 401);
  EXPECT_EQ(locked.body["error"], "Too many attempts. Try again in a minute.");
}

TEST_F(PairingAPITest, ApprovalFlowIssuesTheTokenThroughPairStatus) {
  approvalRequired = true;
  const auto wrong = call("POST", "/api/pair", json{{"pin", "x"}, {"deviceName", "Pixel"}}.dump());
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(wrong.body["error"], "Incorrect PIN.");

  const auto filed =
      call("POST", "/api/pair",
           json{{"pin", pairing->pin()}, {"deviceName", " Pixel\n2026 [Pairing] Forged "}}.dump());
  EXPECT_EQ(filed.status, 202);
  EXPECT_EQ(filed.reason, "OK");
  EXPECT_EQ(filed.body["status"], "pending");
  EXPECT_TRUE(log.waitFor("Pairing request awaiting approval:  Pixel2026 [Pairing] Forged "));
  const std::string id = filed.body["requestId"];
  EXPECT_EQ(call("GET", "/api/pair-status?requestId=" + id).body, (json{{"status", "pending"}}));

  approvals->approve(*Uuid::parse(id));
  const auto approved = call("GET", "/api/pair-status?requestId=" + id);
  EXPECT_EQ(approved.status, 200);
  EXPECT_EQ(approved.body["status"], "approved");
  EXPECT_EQ(approved.body["deviceName"], "Pixel2026 [Pairing] Forged");
  EXPECT_EQ(withToken("POST", "/api/ws-ticket", approved.body["token"]).status, 200);

  const auto denied = call("POST", "/api/pair", json{{"pin", pairing->pin()}}.dump());
  approvals->deny(*Uuid::parse(denied.body["requestId"].get<std::string>()));
  EXPECT_EQ(call("GET", "/api/pair-status?requestId=" + denied.body["requestId"].get<std::string>())
                .body["status"],
            "denied");
  for (const char* target : {"/api/pair-status", "/api/pair-status?requestId=nope",
                             "/api/pair-status?requestId=E621E1F8-C36C-495A-93FC-0C247A3E6E5F"}) {
    const auto expired = call("GET", target);
    EXPECT_EQ(expired.status, 200);
    EXPECT_EQ(expired.body, (json{{"status", "expired"}})) << target;
  }
}

TEST_F(PairingAPITest, TokensAuthenticateOnlyInTheBearerHeader) {
  const std::string token = pairDirectly("Pixel");
  EXPECT_EQ(withToken("GET", "/api/session", token).status, 200);
  EXPECT_EQ(withToken("GET", "/api/session", token, "BEARER ").status, 200);
  for (const char* scheme : {"Bearer  ", "Token ", "Bearer", ""}) {
    const auto refused = withToken("GET", "/api/session", token, scheme);
    EXPECT_EQ(refused.status, 401) << scheme;
    EXPECT_EQ(refused.body, (json{{"error", "unauthorized"}}));
  }
  EXPECT_EQ(call("GET", "/api/session?token=" + token).status, 401);
  EXPECT_EQ(call("POST", "/api/ws-ticket", "{\"token\":\"" + token + "\"}").status, 401);

  const auto session = withToken("GET", "/api/session", token);
  EXPECT_EQ(session.body, (json{{"type", "state"},
                                {"state", "idle"},
                                {"statusText", "No portal active"},
                                {"sourceWidth", 0},
                                {"sourceHeight", 0},
                                {"streaming", false},
                                {"shared", false}}));
  server->stateProvider = [] {
    return PortalStateMessage("E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "Mail",
                              PortalCaptureState::capturing, {800, 600}, true);
  };
  EXPECT_EQ(withToken("GET", "/api/session", token).body["portalName"], "Mail");

  const auto first = withToken("POST", "/api/ws-ticket", token).body["ticket"].get<std::string>();
  const auto second = withToken("POST", "/api/ws-ticket", token).body["ticket"].get<std::string>();
  EXPECT_NE(first, second);
  EXPECT_TRUE(server->tickets().consume(first));
  EXPECT_TRUE(server->tickets().consume(second));
}

TEST_F(PairingAPITest, UnpairedTokensAreRefusedEverywhere) {
  const std::string token = pairDirectly("Pixel");
  const auto left = withToken("POST", "/api/unpair", token);
  EXPECT_EQ(left.status, 200);
  EXPECT_EQ(left.body, (json{{"ok", true}}));
  EXPECT_TRUE(log.waitFor("Device unpaired itself: Pixel"));
  for (const auto& [method, path] :
       {std::pair{"GET", "/api/session"}, {"POST", "/api/ws-ticket"}, {"POST", "/api/unpair"}}) {
    EXPECT_EQ(withToken(method, path, token).status, 401) << path;
  }
  // Wrong methods on API paths: a GET of a POST path is a file lookup, a POST of a GET path 405.
  EXPECT_EQ(call("GET", "/api/pair").status, 404);
  EXPECT_EQ(call("POST", "/api/session").status, 405);
}

}  // namespace
}  // namespace tavelin
