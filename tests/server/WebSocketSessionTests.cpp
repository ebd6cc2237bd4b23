#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "TavelinServer/ClientSession.hpp"
#include "TavelinServer/StreamingServer.hpp"
#include "TavelinServer/WebSocketFrame.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/RawPhone.hpp"
#include "tests/support/TemporaryDirectory.hpp"
#include "tests/support/WholePicture.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::LoopbackClient;
using testing::RawPhone;
using testing::wholePicture;

class WebSocketSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir / "client");
    StreamingServerOptions options;
    options.preferredPort = static_cast<std::uint16_t>(30000 + ::getpid() % 20000);
    options.webRoot = dir / "client";
    options.clock = clock.clock();
    server = StreamingServer::make(pairing, options, log.sink());
    // The callbacks share what they record, so late ones after the fixture is gone are safe.
    server->onInput = [seen = seen](const std::shared_ptr<ClientSession>&,
                                    const InputMessage& message) {
      std::lock_guard guard(seen->lock);
      seen->inputs.push_back(message);
    };
    server->onClientsChanged = [seen = seen] { seen->record("clients"); };
    server->onSessionConnected = [seen = seen](const auto& session) {
      seen->record("connected:" + session->deviceName);
    };
    server->onSessionDisconnected = [seen = seen](const auto& session) {
      seen->record("disconnected:" + session->deviceName);
    };
    server->onPictureWanted = [seen = seen](const Uuid& portal) {
      std::lock_guard guard(seen->lock);
      seen->wanted.push_back(portal);
    };
    server->start();
  }
  void TearDown() override { server->stop(); }

  std::vector<std::string> eventsSoFar() {
    std::lock_guard guard(seen->lock);
    return seen->events;
  }
  std::vector<InputMessage> inputsSoFar() {
    std::lock_guard guard(seen->lock);
    return seen->inputs;
  }
  std::string ticketFor(const PairedDevice& device) { return server->tickets().issue(device.id); }

  // A phone with an open stream, and its session on the server.
  std::pair<std::unique_ptr<RawPhone>, std::shared_ptr<ClientSession>> connectPhone(
      const std::string& name) {
    const auto device = pairing->issueToken(name).device;
    auto phone = std::make_unique<RawPhone>(server->port());
    EXPECT_EQ(phone->upgrade("/ws?ticket=" + ticketFor(device)).substr(0, 12), "HTTP/1.1 101");
    std::shared_ptr<ClientSession> session;
    EXPECT_TRUE(eventually([&] {
      for (const auto& s : server->sessions()) {
        if (s->deviceID == device.id) session = s;
      }
      return session != nullptr;
    }));
    return {std::move(phone), session};
  }

  testing::TemporaryDirectory dir;
  testing::FakeClock clock{testing::utc(2026, 3, 1, 9, 0, 0)};
  testing::LogRecorder log;
  std::shared_ptr<PairingService> pairing = std::make_shared<PairingService>(dir / "devices.json");
  std::shared_ptr<StreamingServer> server;
  struct Seen {
    std::mutex lock;
    std::vector<std::string> events;
    std::vector<InputMessage> inputs;
    std::vector<Uuid> wanted;  // portals a picture was asked for
    void record(const std::string& event) {
      std::lock_guard guard(lock);
      events.push_back(event);
    }
  };
  std::shared_ptr<Seen> seen = std::make_shared<Seen>();
};

TEST_F(WebSocketSessionTest, UpgradeNeedsAllowedHostALiveTicketAndAKey) {
  const auto device = pairing->issueToken("Pixel").device;
  const auto answer = [&](const std::string& target, const std::string& headers = "",
                          bool key = true) {
    RawPhone phone(server->port());
    const std::string head = phone.upgrade(target, headers, key);
    return head + phone.rest();
  };
  EXPECT_EQ(
      answer("/ws?ticket=" + ticketFor(device), "Origin: http://evil.example\r\n").substr(0, 12),
      "HTTP/1.1 403");
  EXPECT_NE(answer("/ws").find("HTTP/1.1 401 Unauthorized"), std::string::npos);
  EXPECT_TRUE(log.waitFor("Unauthorized stream connection rejected"));
  EXPECT_NE(answer("/ws?ticket=made-up").find("{\"error\":\"unauthorized\"}"), std::string::npos);

  // No key: 400, and the ticket is spent all the same.
  const std::string ticket = ticketFor(device);
  EXPECT_NE(answer("/ws?ticket=" + ticket, "", false).find("HTTP/1.1 400 Bad Request"),
            std::string::npos);
  EXPECT_EQ(answer("/ws?ticket=" + ticket).substr(0, 12), "HTTP/1.1 401");

  const std::string late = ticketFor(device);
  clock.advance(31s);
  EXPECT_EQ(answer("/ws?ticket=" + late).substr(0, 12), "HTTP/1.1 401");

  const std::string orphan = ticketFor(device);
  pairing->revoke(device.id);
  EXPECT_EQ(answer("/ws?ticket=" + orphan).substr(0, 12), "HTTP/1.1 401");
  EXPECT_EQ(server->sessionCount(), 0u);
}

TEST_F(WebSocketSessionTest, SessionsAnnounceThemselvesAndRouteInput) {
  const auto device = pairing->issueToken("Pixel").device;
  RawPhone phone(server->port());
  const std::string head = phone.upgrade("/ws?ticket=" + ticketFor(device));
  EXPECT_EQ(head,
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
  EXPECT_TRUE(log.waitFor("Client connected: Pixel"));
  EXPECT_TRUE(eventually([&] { return eventsSoFar().size() == 2; }));
  EXPECT_EQ(eventsSoFar(), (std::vector<std::string>{"clients", "connected:Pixel"}));

  phone.sendFrame(WebSocketOpcode::text, R"({"type":"tap","x":0.5,"y":0.25})");
  phone.sendFrame(WebSocketOpcode::text, R"({"type":"ack"})");  // never reaches the host
  phone.sendFrame(WebSocketOpcode::binary, R"({"type":"tap"})");
  phone.sendFrame(WebSocketOpcode::text, "not json");
  // A message in two fragments with a ping between them: the pong comes first.
  phone.sendFrame(WebSocketOpcode::text, R"({"type":"key",)", false);
  phone.sendFrame(WebSocketOpcode::ping, "are you there");
  const auto pong = phone.nextFrame();
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->opcode, WebSocketOpcode::pong);
  EXPECT_EQ(pong->payload, toBytes("are you there"));
  phone.sendFrame(WebSocketOpcode::continuation, R"("key":"enter"})");
  ASSERT_TRUE(eventually([&] { return inputsSoFar().size() == 2; }));
  EXPECT_EQ(inputsSoFar()[0].type, "tap");
  EXPECT_EQ(inputsSoFar()[0].y, 0.25);
  EXPECT_EQ(inputsSoFar()[1].key, "enter");

  // A close frame ends it all without a close frame back.
  phone.sendFrame(WebSocketOpcode::close, "");
  EXPECT_TRUE(phone.closedWithoutMore());
  EXPECT_TRUE(log.waitFor("Client disconnected: Pixel"));
  EXPECT_TRUE(eventually([&] { return eventsSoFar().size() == 4; }));
  EXPECT_EQ(eventsSoFar()[2], "disconnected:Pixel");
  EXPECT_EQ(eventsSoFar()[3], "clients");
  EXPECT_EQ(server->sessionCount(), 0u);
}

TEST_F(WebSocketSessionTest, FramesThatCanNeverBeReadCloseTheStreamAtOnceWithTheirCode) {
  struct Case {
    const char* name;
    std::string bytes;
    int code;
  };
  const std::string tooLong("\x82\x7F\x00\x00\x00\x00\x00\x02\x00\x01", 10);  // 131073
  const Case cases[] = {
      {"Reserved", std::string("\x83\x00", 2), 1002},
      {"TopBit", std::string("\x82\x7F\x80\x00\x00\x00\x00\x00\x00\x01", 10), 1002},
      {"Huge", tooLong, 1009},  // declared alone, before a single payload byte
  };
  for (const auto& c : cases) {
    auto [phone, session] = connectPhone(c.name);
    phone->sendRaw(c.bytes);
    EXPECT_EQ(phone->closeCode(), c.code) << c.name;
    EXPECT_TRUE(eventually([&, &open = session] { return !open->isOpen(); })) << c.name;
  }
  {
    auto [phone, session] = connectPhone("Fragments");
    phone->sendFrame(WebSocketOpcode::text, std::string(100000, 'a'), false);
    phone->sendFrame(WebSocketOpcode::continuation, std::string(31073, 'a'), false);
    EXPECT_EQ(phone->closeCode(), 1009);
  }
  EXPECT_TRUE(log.waitFor(
      "Network error: closing the stream of 127.0.0.1 (1002): a frame that cannot be read"));
  EXPECT_TRUE(eventually([&] { return server->sessionCount() == 0; }));
}

// A phone that keeps sending pings and never reads its pongs must not make the host buffer
// them without end.
TEST_F(WebSocketSessionTest, APeerThatStopsReadingIsClosedInsteadOfBuffered) {
  auto [phone, session] = connectPhone("Deaf");
  const std::string ping = [] {
    Bytes frame = WebSocketFrame::encode(WebSocketOpcode::ping, std::string(100000, 'p'));
    return std::string(asText(frame));
  }();
  // Each ping queues a pong as large; far more than the limit are sent unless the host closes.
  int sent = 0;
  while (sent < 2000 && session->isOpen() && phone->client().send(ping)) ++sent;
  EXPECT_TRUE(log.waitFor("Network error: 127.0.0.1 stopped reading; closing its connection"));
  EXPECT_TRUE(eventually([&, &open = session] { return !open->isOpen(); }));
  EXPECT_LT(sent, 2000);
}

// A picture of a size that varies, whose bytes all follow from its number (the first four).
Bytes numberedPicture(std::uint32_t n) {
  Bytes picture(20000 + (n % 7) * 9000);
  for (std::size_t i = 4; i < picture.size(); ++i) {
    picture[i] = static_cast<std::uint8_t>((n * 31 + i) & 0xFF);
  }
  for (int i = 0; i < 4; ++i)
    picture[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
  return picture;
}

// Pictures, texts and pongs share one socket. However the completions fall, each frame leaves
// whole and in the order it was queued, also to a phone that reads slowly through a small
// window and acknowledges pictures before they have fully arrived.
TEST_F(WebSocketSessionTest, EveryFrameArrivesWholeAndInOrderUnderMixedLoad) {
  const auto device = pairing->issueToken("Slow").device;
  RawPhone phone(server->port(), 4096);
  ASSERT_EQ(phone.upgrade("/ws?ticket=" + ticketFor(device)).substr(0, 12), "HTTP/1.1 101");
  std::shared_ptr<ClientSession> session;
  ASSERT_TRUE(eventually([&] {
    for (const auto& s : server->sessions()) session = s;
    return session != nullptr;
  }));
  const Uuid portal = Uuid::random();
  session->setCurrentPortalID(portal);

  std::atomic<bool> stop{false};
  std::thread host([&] {
    for (std::uint32_t n = 0; !stop; ++n) {
      server->sendFrame(wholePicture(numberedPicture(n)), portal);
      session->sendText(R"({"type":"state","n":)" + std::to_string(n) + "}");
      session->sendText(R"({"type":"portals","n":)" + std::to_string(n) + "}");
      std::this_thread::sleep_for(1ms);
    }
  });

  std::string pending;
  std::map<std::string, long> lastText{{"state", -1}, {"portals", -1}};
  long pings = 0, pongs = 0, pictures = 0, lastPicture = -1;
  bool broken = false;
  const auto until = std::chrono::steady_clock::now() + 3s;
  while (std::chrono::steady_clock::now() < until && !broken) {
    const auto chunk = phone.client().readSome(1500, 2ms);
    if (!chunk) break;
    pending += *chunk;
    for (;;) {
      auto decoded = WebSocketFrame::decodeResult(pending);
      if (decoded.kind == WebSocketFrame::DecodeResult::Kind::incomplete) break;
      if (decoded.kind == WebSocketFrame::DecodeResult::Kind::invalid) {
        broken = true;
        break;
      }
      pending.erase(0, decoded.consumed);
      const auto& frame = decoded.frame;
      if (frame.opcode == WebSocketOpcode::binary) {
        const auto& bytes = frame.payload;
        const long n =
            bytes.size() < 4 ? -1 : bytes[0] << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
        broken = n <= lastPicture || bytes != numberedPicture(static_cast<std::uint32_t>(n));
        lastPicture = n;
        ++pictures;
      } else if (frame.opcode == WebSocketOpcode::text) {
        const auto message = nlohmann::json::parse(asText(frame.payload), nullptr, false);
        if (message.is_discarded() || !message.contains("n")) {
          broken = true;
          break;
        }
        long& last = lastText[message["type"].get<std::string>()];
        broken = message["n"].get<long>() <= last;
        last = message["n"].get<long>();
      } else if (frame.opcode == WebSocketOpcode::pong) {
        broken = asText(frame.payload) != std::to_string(pongs++);
      } else {
        broken = true;
      }
    }
    // Eager acknowledgements land while a picture is still being written.
    phone.sendFrame(WebSocketOpcode::text, R"({"type":"ack"})");
    if (pictures % 3 == 0) phone.sendFrame(WebSocketOpcode::ping, std::to_string(pings++));
  }
  stop = true;
  host.join();
  EXPECT_FALSE(broken) << "after " << pictures << " pictures, " << pongs << " pongs";
  EXPECT_GT(pictures, 20);
  EXPECT_GT(pongs, 20);
  EXPECT_GT(lastText["state"], 20);
  EXPECT_TRUE(session->isOpen());
}

TEST_F(WebSocketSessionTest, PicturesArePacedByAcknowledgements) {
  auto phoneSession = connectPhone("Pixel");
  auto& phone = phoneSession.first;
  const auto session = phoneSession.second;
  const Uuid portal = Uuid::random();
  server->sendFrame(wholePicture(toBytes("A")), portal);  // nobody views it
  EXPECT_EQ(server->viewerCount(portal), 0u);
  session->setCurrentPortalID(portal);
  EXPECT_EQ(server->viewerCount(portal), 1u);

  const auto start = std::chrono::steady_clock::now();
  for (const char* name : {"A", "B", "C"}) server->sendFrame(wholePicture(toBytes(name)), portal);
  auto first = phone->nextFrame();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->opcode, WebSocketOpcode::binary);
  EXPECT_EQ(first->payload, toBytes("A"));
  EXPECT_FALSE(phone->nextFrame(300ms));  // B waits, then C replaces it
  // Without an ack, C leaves at the first occasion 0.7 s after A: the next push.
  std::this_thread::sleep_for(450ms);
  session->sendText(R"({"type":"state"})");  // text is not held back by the frame rules
  const auto text = phone->nextFrame();
  ASSERT_TRUE(text);
  EXPECT_EQ(text->opcode, WebSocketOpcode::text);
  server->sendFrame(wholePicture(toBytes("D")), portal);
  const auto late = phone->nextFrame();
  ASSERT_TRUE(late);
  EXPECT_EQ(late->payload, toBytes("D"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, ClientSession::ackWait);
  EXPECT_EQ(session->framesSent(), 2u);
  EXPECT_EQ(session->framesDropped(), 2u);  // B, then C

  // With acknowledgements the waiting frame leaves at the ack.
  phone->sendFrame(WebSocketOpcode::text, R"({"type":"ack"})");
  server->sendFrame(wholePicture(toBytes("E")), portal);
  EXPECT_EQ(phone->nextFrame()->payload, toBytes("E"));
  server->sendFrame(wholePicture(toBytes("F")), portal);
  EXPECT_FALSE(phone->nextFrame(100ms));
  phone->sendFrame(WebSocketOpcode::text, R"({"type":"ack"})");
  EXPECT_EQ(phone->nextFrame(300ms)->payload, toBytes("F"));
  EXPECT_TRUE(inputsSoFar().empty());
}

// Phones of one portal that show different parts each get the picture of their own part, one
// zoomed in hearing which part just before it; the others get the whole portal and no word.
TEST_F(WebSocketSessionTest, EachPhoneGetsThePictureOfThePartItShows) {
  auto [whole, wholeSession] = connectPhone("Tablet");
  auto [zoomed, zoomedSession] = connectPhone("Pixel");
  const Uuid portal = Uuid::random();
  wholeSession->setCurrentPortalID(portal);
  zoomedSession->setCurrentPortalID(portal);
  const auto part = PortalView::make(0.5, 0.25, 0.25, 0.5, 390, 844);
  zoomedSession->setView(part);
  auto views = server->views(portal);
  ASSERT_EQ(views.size(), 2u);
  EXPECT_NE(std::find(views.begin(), views.end(), std::nullopt), views.end());
  EXPECT_NE(std::find(views.begin(), views.end(), part), views.end());
  EXPECT_TRUE(server->views(Uuid::random()).empty());

  const NormalizedRect shows{0.5, 0.25, 0.25, 0.5};
  server->sendFrame({std::make_shared<const Bytes>(toBytes("part")), {}, {}, part, shows}, portal);
  server->sendFrame(wholePicture(toBytes("whole")), portal);
  const auto said = zoomed->nextFrame();
  ASSERT_TRUE(said);
  EXPECT_EQ(said->opcode, WebSocketOpcode::text);
  EXPECT_EQ(asText(said->payload), pictureViewJson(shows));
  const auto picture = zoomed->nextFrame();
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->payload, toBytes("part"));
  const auto plain = whole->nextFrame();
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->opcode, WebSocketOpcode::binary);
  EXPECT_EQ(plain->payload, toBytes("whole"));

  // Back to the whole portal: whole pictures, without a word before them.
  zoomedSession->setView(std::nullopt);
  EXPECT_EQ(server->views(portal), (std::vector<std::optional<PortalView>>{std::nullopt}));
  zoomed->sendFrame(WebSocketOpcode::text, R"({"type":"ack"})");
  whole->sendFrame(WebSocketOpcode::text, R"({"type":"ack"})");
  server->sendFrame({std::make_shared<const Bytes>(toBytes("part")), {}, {}, part, shows},
                    portal);  // made before the phone zoomed out: it no longer wants it
  server->sendFrame(wholePicture(toBytes("whole again")), portal);
  const auto after = zoomed->nextFrame();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->opcode, WebSocketOpcode::binary);
  EXPECT_EQ(after->payload, toBytes("whole again"));
  EXPECT_EQ(whole->nextFrame()->payload, toBytes("whole again"));
}

// The capture asks before each picture from when one is wanted, and hears when that changes:
// a picture left, or an acknowledgement left the phone with nothing to show.
TEST_F(WebSocketSessionTest, APictureIsWantedInTimeForTheNextAcknowledgement) {
  auto [phone, session] = connectPhone("Pixel");
  const Uuid portal = Uuid::random();
  const auto due = [&] { return server->pictureDue(portal); };
  const auto asked = [&] {
    std::lock_guard guard(seen->lock);
    return std::count(seen->wanted.begin(), seen->wanted.end(), portal);
  };
  const auto now = [] { return std::chrono::steady_clock::now(); };
  EXPECT_FALSE(due());  // nobody watches it
  session->setCurrentPortalID(portal);
  ASSERT_TRUE(due());
  EXPECT_LE(*due(), now());

  // A is on its way: with no round trip measured yet, the next is wanted when A's ack is
  // overdue, and the capture is told so.
  const auto beforeA = now();
  server->sendFrame(wholePicture(toBytes("A")), portal);
  ASSERT_EQ(phone->nextFrame()->payload, toBytes("A"));
  EXPECT_TRUE(eventually([&] { return asked() == 1; }));
  ASSERT_TRUE(due());
  EXPECT_GE(*due(), beforeA + ClientSession::ackWait);
  server->sendFrame(wholePicture(toBytes("B")), portal);
  EXPECT_TRUE(eventually([&] { return !due(); }));  // B waits for A's ack: none is wanted

  // The ack sends B. Now that a round trip is known, the next is wanted before B's ack is.
  const auto beforeAck = now();
  phone->sendFrame(WebSocketOpcode::text, R"({"type":"ack"})");
  ASSERT_EQ(phone->nextFrame()->payload, toBytes("B"));
  EXPECT_TRUE(eventually([&] { return asked() == 2; }));
  ASSERT_TRUE(due());
  EXPECT_LE(*due(), now() + ClientSession::ackWait);
  EXPECT_GT(*due(), beforeAck);

  // B's ack leaves the phone with nothing: the next picture is wanted at once.
  phone->sendFrame(WebSocketOpcode::text, R"({"type":"ack"})");
  EXPECT_TRUE(eventually([&] { return asked() == 3; }));
  ASSERT_TRUE(due());
  EXPECT_LE(*due(), now());
  // A phone on another portal wants none of this one's pictures.
  session->setCurrentPortalID(Uuid::random());
  EXPECT_FALSE(due());
}

TEST_F(WebSocketSessionTest, AVanishedPhoneClosesOnlyItsOwnSession) {
  auto goneSession = connectPhone("Gone");
  auto stayingSession = connectPhone("Staying");
  auto& staying = stayingSession.first;
  EXPECT_TRUE(eventually([&] { return eventsSoFar().size() == 4; }));
  const Uuid portal = Uuid::random();
  goneSession.second->setCurrentPortalID(portal);
  stayingSession.second->setCurrentPortalID(portal);

  goneSession.first->reset();
  for (int i = 0; i < 20 && goneSession.second->isOpen(); ++i) {
    server->sendFrame(wholePicture(Bytes(100 * 1024, 0x42)), portal);
    staying->sendFrame(WebSocketOpcode::text, R"({"type":"ack"})");
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(eventually([&] { return !goneSession.second->isOpen(); }));
  EXPECT_TRUE(stayingSession.second->isOpen());
  EXPECT_TRUE(log.waitFor("Client disconnected: Gone"));
  const auto lines = log.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Client disconnected: Gone"), 1);
  EXPECT_TRUE(eventually([&] { return eventsSoFar().size() == 6; }));
  EXPECT_EQ(eventsSoFar()[4], "disconnected:Gone");
  EXPECT_EQ(eventsSoFar()[5], "clients");
  EXPECT_EQ(server->viewerCount(portal), 1u);
  staying->sendFrame(WebSocketOpcode::text, R"({"type":"ack"})");
  server->sendFrame(wholePicture(toBytes("still here")), portal);
  EXPECT_TRUE(staying->nextFrame());
}

TEST_F(WebSocketSessionTest, BroadcastsReachEveryOpenSessionAndDisconnectAllClosesThem) {
  auto firstSession = connectPhone("One");
  auto& first = firstSession.first;
  const auto one = firstSession.second;
  auto secondSession = connectPhone("Two");
  auto& second = secondSession.first;
  const auto two = secondSession.second;
  EXPECT_EQ(server->sessionCount(), 2u);
  server->broadcastState(PortalStateMessage::noPortal());
  for (auto* phone : {first.get(), second.get()}) {
    const auto state = phone->nextFrame();
    ASSERT_TRUE(state);
    EXPECT_EQ(nlohmann::json::parse(asText(state->payload))["statusText"], "No portal active");
  }
  const Uuid portal = Uuid::random();
  one->setCurrentPortalID(portal);
  two->setCurrentPortalID(portal);
  server->sendFrame(wholePicture(toBytes("picture")), portal);
  EXPECT_EQ(first->nextFrame()->payload, toBytes("picture"));
  EXPECT_EQ(second->nextFrame()->payload, toBytes("picture"));

  two->close();
  two->close();
  server->disconnectAll();
  EXPECT_TRUE(first->closedWithoutMore());
  EXPECT_TRUE(second->closedWithoutMore());
  // A session leaves the table before it logs; the lines are what says both are done.
  EXPECT_TRUE(log.waitFor("Client disconnected: One"));
  EXPECT_TRUE(log.waitFor("Client disconnected: Two"));
  EXPECT_EQ(server->sessionCount(), 0u);
  const auto lines = log.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Client disconnected: Two"), 1);
  EXPECT_FALSE(two->isOpen());
  two->pushFrame(std::make_shared<const Bytes>(toBytes("late")), portal);  // ignored
}

// Disconnecting a phone closes its streams only; the others go on, and the server says how
// many it closed. Each session knows where its phone connected from.
TEST_F(WebSocketSessionTest, DisconnectingAPhoneClosesItsStreamsOnly) {
  auto [leaving, gone] = connectPhone("Leaving");
  auto [staying, kept] = connectPhone("Staying");
  EXPECT_EQ(gone->address, "127.0.0.1");
  EXPECT_LE(gone->connectedAt, std::chrono::system_clock::now());
  const Uuid portal = Uuid::random();
  gone->setCurrentPortalID(portal);
  kept->setCurrentPortalID(portal);
  EXPECT_EQ(server->disconnect(gone->deviceID), 1u);
  EXPECT_TRUE(leaving->closedWithoutMore());
  EXPECT_TRUE(log.waitFor("Client disconnected: Leaving"));
  EXPECT_EQ(server->disconnect(gone->deviceID), 0u);  // nothing open any more
  EXPECT_EQ(server->disconnect(Uuid::random()), 0u);
  server->sendFrame(wholePicture(toBytes("still watched")), portal);
  EXPECT_EQ(staying->nextFrame()->payload, toBytes("still watched"));
  EXPECT_EQ(server->sessionCount(), 1u);
}

}  // namespace
}  // namespace tavelin
