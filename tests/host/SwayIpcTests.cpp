// Sway's IPC: windows and outputs read from its replies, the wire against a stand-in server that
// answers as sway does (and fails as it can), and a real headless sway.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "TavelinHost/Platform/Wayland/SwayIpc.hpp"
#include "TavelinKit/Foundation/Json.hpp"
#include "tests/support/SwayDesktop.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin::wayland {
namespace {

using json::Json;

Json parsed(const std::string& text) { return json::parse(text).value(); }

TEST(SwayWindows, ReadsViewsWhereverTheTreeHasThem) {
  // Two tiled foot windows and a floating one as a headless sway 1.7 listed them (less members
  // nobody reads), beside the scratchpad's pseudo output; then, on a second output, an X11
  // window in a split and a floating split whose tiled child floats with it.
  const auto tree = parsed(R"({"id": 1, "type": "root", "name": "root", "nodes": [
    {"id": 2147483647, "type": "output", "name": "__i3", "nodes": [
      {"id": 2147483646, "type": "workspace", "name": "__i3_scratch", "nodes": [],
       "floating_nodes": [{"id": 30, "type": "floating_con", "name": "hidden", "pid": 902,
                           "app_id": "notes", "visible": false, "rect": {"x": 10, "y": 10,
                           "width": 300, "height": 200}}]}]},
    {"id": 3, "type": "output", "name": "HEADLESS-1", "active": true, "scale": 1.0,
     "rect": {"x": 0, "y": 0, "width": 1280, "height": 720}, "floating_nodes": [], "nodes": [
      {"id": 4, "type": "workspace", "name": "1", "layout": "splith", "focus": [7, 6, 5],
       "representation": "H[foot second]", "nodes": [
        {"id": 5, "type": "con", "name": "foot", "layout": "none", "focused": false,
         "rect": {"x": 0, "y": 0, "width": 640, "height": 720}, "window": null, "marks": [],
         "window_rect": {"x": 0, "y": 0, "width": 640, "height": 720}, "nodes": [],
         "floating_nodes": [], "pid": 26181, "app_id": "foot", "visible": true,
         "shell": "xdg_shell"},
        {"id": 6, "type": "con", "name": "cat ~\/notes", "layout": "none", "focused": false,
         "rect": {"x": 640, "y": 0, "width": 640, "height": 720}, "window": null, "marks": [],
         "window_rect": {"x": 0, "y": 0, "width": 640, "height": 720}, "nodes": [],
         "floating_nodes": [], "pid": 26183, "app_id": "second", "visible": true,
         "shell": "xdg_shell"}],
       "floating_nodes": [
        {"id": 7, "type": "floating_con", "name": "Floating notes", "focused": true,
         "rect": {"x": 200, "y": 180, "width": 500, "height": 300}, "window": null,
         "nodes": [], "floating_nodes": [], "pid": 26308, "app_id": "floater",
         "visible": true, "shell": "xdg_shell"}]}]},
    {"id": 8, "type": "output", "name": "HEADLESS-2", "nodes": [{"type": "workspace", "nodes": [
      {"id": 10, "type": "con", "layout": "splitv", "name": null, "nodes": [
        {"id": 11, "type": "con", "name": "xterm", "pid": 900, "app_id": null,
         "shell": "xwayland", "window_properties": {"class": "XTerm", "instance": "xterm"},
         "visible": true, "rect": {"x": 1280, "y": 0, "width": 1920, "height": 540}}]}],
      "floating_nodes": [{"id": 20, "type": "floating_con", "nodes": [
        {"id": 21, "type": "con", "name": "inner", "pid": 901, "app_id": "inner"}]}]}]}]})");
  const std::vector<SwayWindow> expected{
      {30, 902, "notes", "hidden", {10, 10, 300, 200}, false, false, true, "__i3"},
      {5, 26181, "foot", "foot", {0, 0, 640, 720}, false, true, false, "HEADLESS-1"},
      {6, 26183, "second", "cat ~/notes", {640, 0, 640, 720}, false, true, false, "HEADLESS-1"},
      {7, 26308, "floater", "Floating notes", {200, 180, 500, 300}, true, true, true, "HEADLESS-1"},
      {11, 900, "XTerm", "xterm", {1280, 0, 1920, 540}, false, true, false, "HEADLESS-2"},
      {21, 901, "inner", "inner", {}, false, false, true, "HEADLESS-2"},
  };
  EXPECT_EQ(swayWindows(tree), expected);
}

TEST(SwayWindows, SkipsWhatCannotBeRead) {
  const struct {
    const char* tree;
    std::vector<std::int64_t> conIDs;
  } cases[] = {
      {"null", {}},
      {R"([{"id": 5, "type": "con", "pid": 1}])", {}},
      {R"({"nodes": {"id": 5, "type": "con", "pid": 1}})", {}},
      {R"({"nodes": [1, "x", null, [], {"id": 5, "type": "con", "pid": 1}], "floating_nodes": 7})",
       {5}},
      // Ids and pids missing, of another type, fractional or out of range; only containers.
      {R"({"nodes": [{"type": "con", "pid": 1}, {"id": "5", "type": "con", "pid": 1},
          {"id": 5.5, "type": "con", "pid": 1}, {"id": 18446744073709551615, "type": "con",
          "pid": 1}, {"id": 6, "type": "con"}, {"id": 7, "type": "con", "pid": "1"},
          {"id": 8, "type": "con", "pid": 4294967296}, {"id": 9, "type": "con", "pid": true},
          {"id": 10, "type": "workspace", "pid": 1}, {"id": 12, "type": 4, "pid": 1},
          {"id": 11, "type": "con", "pid": 2}]})",
       {11}},
  };
  for (const auto& c : cases) {
    std::vector<std::int64_t> found;
    for (const auto& window : swayWindows(parsed(c.tree))) found.push_back(window.conID);
    EXPECT_EQ(found, c.conIDs) << c.tree;
  }
  // Members of the wrong types are left empty.
  const auto odd = swayWindows(parsed(R"({"type": "output", "name": 3, "nodes": [
    {"id": 5, "type": "con", "pid": 1, "name": null, "app_id": 5, "focused": "yes", "visible": 1,
     "window_properties": {"class": ["XTerm"]}, "rect": {"x": "0", "y": 0, "width": 1,
     "height": 1}}, {"id": 6, "type": "con", "pid": 1, "window_properties": 1, "rect": []}]})"));
  EXPECT_EQ(odd, (std::vector<SwayWindow>{{5, 1, "", "", {}, false, false, false, ""},
                                          {6, 1, "", "", {}, false, false, false, ""}}));
  // Deeper than any stack.
  std::string deep;
  for (int i = 0; i < 100'000; ++i) deep += R"({"type": "con", "nodes": [)";
  deep += R"({"id": 42, "type": "con", "pid": 7})";
  for (int i = 0; i < 100'000; ++i) deep += "]}";
  const auto bottom = swayWindows(parsed(deep));
  ASSERT_EQ(bottom.size(), 1u);
  EXPECT_EQ(bottom[0].conID, 42);
}

TEST(SwayOutputs, ReadsOutputsAndSkipsTheUnreadable) {
  const auto outputs = swayOutputs(parsed(R"([
    {"id": 3, "type": "output", "name": "HEADLESS-1", "active": true, "scale": 1.0,
     "rect": {"x": 0, "y": 0, "width": 1280, "height": 720}, "make": "headless",
     "current_mode": {"width": 1280, "height": 720, "refresh": 60000}},
    {"name": "HEADLESS-2", "active": true, "scale": 2.0,
     "rect": {"x": 1280, "y": 0, "width": 960, "height": 540}},
    {"name": "HEADLESS-3", "active": false, "scale": -1}, {"active": true}, {"name": null}, 7,
    {"name": "odd", "active": "yes", "scale": "2", "rect": null}])"));
  const std::vector<SwayOutput> expected{{"HEADLESS-1", true, {0, 0, 1280, 720}, 1},
                                         {"HEADLESS-2", true, {1280, 0, 960, 540}, 2},
                                         {"HEADLESS-3", false, {}, 1},
                                         {"odd", false, {}, 1}};
  EXPECT_EQ(outputs, expected);
  EXPECT_TRUE(swayOutputs(parsed(R"({"name": "HEADLESS-1"})")).empty());
}

// A message framed as sway frames it; `length` overrides the payload's own.
std::string message(std::uint32_t type, std::string_view payload,
                    std::optional<std::uint32_t> length = std::nullopt) {
  const std::uint32_t size = length.value_or(static_cast<std::uint32_t>(payload.size()));
  std::string bytes = "i3-ipc";
  bytes.append(reinterpret_cast<const char*>(&size), 4).append(reinterpret_cast<char*>(&type), 4);
  return bytes.append(payload);
}

void sendAll(int fd, std::string_view bytes) {
  for (ssize_t sent; !bytes.empty() && (sent = ::send(fd, bytes.data(), bytes.size(), 0)) > 0;)
    bytes.remove_prefix(static_cast<std::size_t>(sent));
}

// A stand-in for sway's socket, serving one connection after another on a thread of its own:
// each request goes to `answer`, which writes what the case needs and says whether to go on.
class FakeSway {
 public:
  struct Request {
    std::uint32_t type;
    std::string payload;
  };
  explicit FakeSway(std::function<bool(int fd, const Request&)> answer)
      : answer_(std::move(answer)), listener_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{AF_UNIX, {}};
    path().copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0)
      throw std::runtime_error("cannot listen at " + path());
    thread_ = std::thread([this] {
      for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        for (Request request{}; read(fd, request) && answer_(fd, request);) {
        }
        ::close(fd);
      }
    });
  }
  ~FakeSway() {
    ::shutdown(listener_, SHUT_RDWR);  // ends the accept
    thread_.join();
    ::close(listener_);
  }
  std::string path() const { return (folder_ / "ipc.sock").string(); }
  std::atomic<int> requests{0};  // read so far

 private:
  bool read(int fd, Request& request) {
    char header[14];
    std::uint32_t length = 0;
    if (::recv(fd, header, 14, MSG_WAITALL) != 14 || std::memcmp(header, "i3-ipc", 6) != 0)
      return false;
    std::memcpy(&length, header + 6, 4);
    std::memcpy(&request.type, header + 10, 4);
    request.payload.resize(length);
    ++requests;
    return length == 0 ||
           ::recv(fd, request.payload.data(), length, MSG_WAITALL) == ssize_t{length};
  }

  testing::TemporaryDirectory folder_;
  std::function<bool(int, const Request&)> answer_;
  int listener_;
  std::thread thread_;
};

TEST(SwayIpcWire, ExchangesMessagesAsSwayDoes) {
  FakeSway server([](int fd, const FakeSway::Request& request) {
    if (request.type == SwayIpc::getTree) {
      sendAll(fd, message(4, "{\"id\": 1, \"nodes\": ["));  // a whole message, but no JSON
    } else if (request.payload == "bogus; [con_id=5] focus") {
      sendAll(fd, message(0, R"([{"success": false, "parse_error": true,
                                  "error": "Unknown\/invalid command 'bogus'"}])"));
    } else if (request.payload == "[con_id=5] focus") {
      // An event before the reply (as a subscribed connection would see) is passed over.
      sendAll(fd, message(0x80000003u, "{}") + message(0, R"([{"success": true}])"));
    } else {
      sendAll(fd, message(request.type, R"([{"success": 1}])"));
    }
    return true;
  });
  std::string why;
  const auto sway = SwayIpc::connect(server.path(), why);
  ASSERT_TRUE(sway) << why;
  EXPECT_TRUE(sway->focusWindow(5, why)) << why;
  EXPECT_FALSE(sway->command("bogus; [con_id=5] focus", why));
  EXPECT_EQ(why, "Unknown/invalid command 'bogus'");
  EXPECT_FALSE(sway->createOutput(why));  // a result without a true "success"
  EXPECT_EQ(why, "a command failed");
  EXPECT_FALSE(sway->request(SwayIpc::getTree, "", why));
  EXPECT_EQ(why, "sway's reply is not JSON");
  // That failed alone: the stream is still in step. So did a request too large to send.
  EXPECT_FALSE(sway->command(std::string(SwayIpc::payloadLimit + 1, ' '), why));
  EXPECT_EQ(why, "a request of 16777217 bytes is larger than the 16777216 bytes sway is sent");
  EXPECT_EQ(sway->request(SwayIpc::getVersion, "x", why), parsed(R"([{"success": 1}])"));
  EXPECT_EQ(server.requests, 5);

  EXPECT_FALSE(SwayIpc::connect(server.path() + "-", why));
  EXPECT_EQ(why, "cannot connect to sway at " + server.path() + "- (No such file or directory)");
  EXPECT_FALSE(SwayIpc::connect(std::string(200, 'a'), why));
}

TEST(SwayIpcWire, ReadsAReplyThatArrivesInPieces) {
  // Larger than a socket's buffer, and each piece sent once the last was read (a Unix socket
  // counts what it sent until the peer has read it): the header in two, the payload in three.
  const std::string title(300'000, 'x');
  const std::string reply = message(4, R"({"name": ")" + title + R"("})");
  FakeSway server([&](int fd, const FakeSway::Request&) {
    std::size_t from = 0;
    for (const std::size_t to :
         {std::size_t{3}, std::size_t{16}, std::size_t{1000}, reply.size()}) {
      for (int queued = 0; ::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      sendAll(fd, std::string_view(reply).substr(from, to - from));
      from = to;
    }
    return true;
  });
  std::string why;
  const auto sway = SwayIpc::connect(server.path(), why);
  ASSERT_TRUE(sway) << why;
  const auto tree = sway->request(SwayIpc::getTree, "", why);
  ASSERT_TRUE(tree) << why;
  EXPECT_EQ(json::readString(*tree, "name"), title);
}

TEST(SwayIpcWire, GivesUpTheConnectionAfterABrokenReply) {
  const std::string silence;  // the server reads the request and never answers
  const struct {
    std::string reply, reason;
  } cases[] = {
      {message(4, "", SwayIpc::payloadLimit + 1),
       "sway's reply of 16777217 bytes is larger than the 16777216 bytes accepted"},
      {message(4, "[]").substr(0, 9), "sway closed the connection"},
      {message(4, "[1, 2", 100), "sway closed the connection"},
      {"i3-ipX" + message(4, "[]").substr(6), "sway's reply is not an IPC message"},
      {message(3, "[]"), "sway answered a message of type 4 with type 3"},
      {silence, "sway did not answer within 200 ms"},
  };
  for (const auto& c : cases) {
    FakeSway server([&](int fd, const FakeSway::Request&) {
      sendAll(fd, c.reply);
      return c.reply.empty();
    });
    std::string why;
    const auto sway = SwayIpc::connect(server.path(), why, std::chrono::milliseconds(200));
    ASSERT_TRUE(sway) << why;
    EXPECT_FALSE(sway->request(SwayIpc::getTree, "", why));
    EXPECT_EQ(why, c.reason);
    // A late or misread reply would answer the next request: nothing more is sent.
    EXPECT_FALSE(sway->request(SwayIpc::getVersion, "", why));
    EXPECT_EQ(why, "the connection to sway is closed after an earlier failure: " + c.reason);
    EXPECT_EQ(server.requests, 1);
  }
}

TEST(SwayIpcWire, ConnectsAfreshOnceTheWaitAfterAFailureIsOver) {
  std::atomic<int> answered{0};
  std::string why;
  std::unique_ptr<SwayIpc> sway;
  {
    // The first reply is broken; later connections are answered properly.
    FakeSway server([&](int fd, const FakeSway::Request& request) {
      if (answered++ == 0) return false;  // closes mid-request
      sendAll(fd, message(request.type, R"({"human_readable": "1.7"})"));
      return false;  // and then this connection too, so the server can go
    });
    sway = SwayIpc::connect(server.path(), why, std::chrono::milliseconds(500),
                            std::chrono::milliseconds(0));
    ASSERT_TRUE(sway) << why;
    EXPECT_FALSE(sway->request(SwayIpc::getVersion, "", why));
    const auto again = sway->request(SwayIpc::getVersion, "", why);
    ASSERT_TRUE(again) << why;
    EXPECT_EQ((*again)["human_readable"], "1.7");
    EXPECT_EQ(server.requests, 2);
  }
  // Sway gone for good: the new connection fails, and says why.
  EXPECT_FALSE(sway->request(SwayIpc::getVersion, "", why));
  EXPECT_FALSE(sway->request(SwayIpc::getVersion, "", why));
  EXPECT_NE(why.find("cannot connect to sway at "), std::string::npos) << why;
}

TEST(SwayIpcWire, RequestsFromManyThreadsTakeTurns) {
  FakeSway server([](int fd, const FakeSway::Request& request) {
    sendAll(fd, message(request.type, "\"" + request.payload + "\""));
    return true;
  });
  std::string why;
  const auto sway = SwayIpc::connect(server.path(), why);
  ASSERT_TRUE(sway) << why;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&sway, &wrong, t] {
      std::string reason;
      for (std::size_t i = 0; i < 100; ++i) {
        // Lengths that differ, so that interleaved messages could not pass unnoticed.
        const std::string payload(static_cast<std::size_t>(t) * 1000 + i,
                                  static_cast<char>('a' + t));
        if (sway->request(SwayIpc::getVersion, payload, reason) != Json(payload)) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}

TEST(SwayIpcOnSway, ListsFootWindowsWithTheirProcessesAndFocusesOne) {
  if (!testing::SwayDesktop::available()) GTEST_SKIP() << "sway or foot is not installed";
  testing::SwayDesktop desktop;
  std::string why;
  const auto sway = SwayIpc::connect(desktop.swaysock(), why);
  ASSERT_TRUE(sway) << why;
  // The window of `pid` once `ready` holds for it, read again until then: sway maps a window
  // a few frames after its client connected.
  const auto window = [&](pid_t pid, const std::function<bool(const SwayWindow&)>& ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
      std::string reason;
      const auto tree = sway->request(SwayIpc::getTree, "", reason);
      for (const auto& w : tree ? swayWindows(*tree) : std::vector<SwayWindow>{}) {
        if (w.pid == pid && (ready(w) || std::chrono::steady_clock::now() > deadline)) return w;
      }
      if (std::chrono::steady_clock::now() > deadline) return SwayWindow{};
    }
  };
  // foot runs cat, not the user's shell, which may be nologin. The second starts once the
  // first is there, so that it is tiled right of it and focused.
  const pid_t first = desktop.run({"foot", "cat"});
  window(first, [](const SwayWindow&) { return true; });
  const pid_t second = desktop.run({"foot", "--app-id", "other", "cat"});
  const auto other = window(second, [](const SwayWindow& w) { return w.focused; });
  const auto foot = window(first, [](const SwayWindow& w) { return w.rect.width == 640; });
  EXPECT_EQ(foot.appID, "foot");
  EXPECT_EQ(other.appID, "other");
  EXPECT_EQ(foot.output, "HEADLESS-1");
  EXPECT_EQ(foot.rect, (ScreenRect{0, 0, 640, 720}));
  EXPECT_EQ(other.rect, (ScreenRect{640, 0, 640, 720}));
  EXPECT_TRUE(foot.visible && !foot.floating && !foot.focused && other.focused);

  ASSERT_TRUE(sway->focusWindow(foot.conID, why)) << why;
  EXPECT_TRUE(window(first, [](const SwayWindow& w) { return w.focused; }).focused);
  EXPECT_FALSE(window(second, [](const SwayWindow&) { return true; }).focused);
  EXPECT_FALSE(sway->focusWindow(other.conID + 1000, why));
  EXPECT_EQ(why, "No matching node.");

  ASSERT_TRUE(sway->createOutput(why)) << why;
  const auto outputs = sway->request(SwayIpc::getOutputs, "", why);
  ASSERT_TRUE(outputs) << why;
  EXPECT_EQ(swayOutputs(*outputs),
            (std::vector<SwayOutput>{{"HEADLESS-1", true, {0, 0, 1280, 720}, 1},
                                     {"HEADLESS-2", true, {1280, 0, 1920, 1080}, 1}}));
}

}  // namespace
}  // namespace tavelin::wayland
