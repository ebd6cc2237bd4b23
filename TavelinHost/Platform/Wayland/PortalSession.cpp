#include "TavelinHost/Platform/Wayland/PortalSession.hpp"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <optional>

#include "TavelinHost/Platform/Wayland/SessionBus.hpp"
#include "TavelinHost/Platform/Wayland/SessionClipboard.hpp"
#include "TavelinHost/Platform/Wayland/WaylandErrors.hpp"

namespace tavelin::wayland {

namespace {

constexpr const char* portal = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* remoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* screenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* clipboardInterface = "org.freedesktop.portal.Clipboard";
constexpr const char* sessionInterface = "org.freedesktop.portal.Session";

// Device and source kinds, cursor modes and persistence, as the portal numbers them.
constexpr std::uint32_t keyboard = 1, pointer = 2;
constexpr std::uint32_t monitorSources = 1, windowSources = 2;
constexpr std::uint32_t cursorHidden = 1, cursorEmbedded = 2;
constexpr std::uint32_t persistUntilRevoked = 2;

// Requests without a dialog come back at once; Start waits for the person at the desk.
constexpr std::chrono::seconds quickAnswer{20};
constexpr std::chrono::minutes dialogAnswer{5};

std::atomic<std::uint32_t> nextToken{0};

std::string newToken() { return "tavelin" + std::to_string(++nextToken); }

// The session's handle and no options: how calls on a running session begin.
int appendSession(sd_bus_message* m, const std::string& session) {
  int status = sd_bus_message_append(m, "o", session.c_str());
  if (status >= 0) status = appendVariantDictionary(m, nullptr);
  return status;
}

// The portal names a request's object after the caller and the token it chose: ":1.42" and
// "tavelin3" make /org/freedesktop/portal/desktop/request/1_42/tavelin3.
std::string requestPath(const std::string& uniqueName, const std::string& token) {
  std::string sender = uniqueName.starts_with(':') ? uniqueName.substr(1) : uniqueName;
  for (char& c : sender) {
    if (c == '.') c = '_';
  }
  return std::string(portalPath) + "/request/" + sender + "/" + token;
}

int readSessionHandle(sd_bus_message* m, std::string& handle) {
  // An object path; portals before 1.0 sent a string.
  char type = 0;
  const char* contents = nullptr;
  int status = sd_bus_message_peek_type(m, &type, &contents);
  if (status < 0) return status;
  const char* text = nullptr;
  status = sd_bus_message_read(m, "v", contents && contents[0] == 's' ? "s" : "o", &text);
  if (status > 0 && text) handle = text;
  return status;
}

int readStreams(sd_bus_message* m, std::vector<PortalStream>& streams) {
  int status = sd_bus_message_enter_container(m, 'v', "a(ua{sv})");
  if (status >= 0) status = sd_bus_message_enter_container(m, 'a', "(ua{sv})");
  while (status >= 0 && (status = sd_bus_message_enter_container(m, 'r', "ua{sv}")) > 0) {
    PortalStream stream;
    status = sd_bus_message_read(m, "u", &stream.node);
    if (status >= 0) {
      status = readVariantDictionary(m, [&](sd_bus_message* v, std::string_view key) {
        std::int32_t a = 0, b = 0;
        if (key == "position" || key == "size") {
          const int read = sd_bus_message_read(v, "v", "(ii)", &a, &b);
          if (read > 0 && key == "position") {
            stream.bounds.x = a;
            stream.bounds.y = b;
          } else if (read > 0) {
            stream.bounds.width = a;
            stream.bounds.height = b;
          }
          return read;
        }
        if (key == "id") {
          const char* text = nullptr;
          const int read = sd_bus_message_read(v, "v", "s", &text);
          if (read > 0 && text) stream.id = text;
          return read;
        }
        return 0;
      });
    }
    if (status >= 0) status = sd_bus_message_exit_container(m);
    if (status >= 0) streams.push_back(std::move(stream));
  }
  if (status >= 0) status = sd_bus_message_exit_container(m);
  if (status >= 0) status = sd_bus_message_exit_container(m);
  return status;
}

std::uint32_t portalProperty(SessionBus& bus, const char* interface, const char* name) {
  std::uint32_t value = 0;
  std::string why;
  bus.property(
      portal, portalPath, interface, name, "u",
      [&](sd_bus_message* m) { return sd_bus_message_read(m, "u", &value); }, why);
  return value;
}

}  // namespace

// One request to the portal: the call, then its Response signal on the request's own object.
struct PortalSession::Request {
  std::string session;                          // the first argument, when set
  std::optional<std::string> parent;            // Start's parent window
  std::function<int(sd_bus_message*)> options;  // entries besides handle_token
  std::function<int(sd_bus_message*, std::string_view key)> results;
  std::chrono::seconds wait = quickAnswer;
};

bool PortalSession::ask(SessionBus& bus, const char* interface, const char* member,
                        Request& request, std::error_code& error, std::string& why) {
  const std::string token = newToken();
  const std::string path = requestPath(bus.uniqueName(), token);
  std::mutex lock;
  std::condition_variable answered;
  std::optional<std::uint32_t> response;
  int readStatus = 0;
  // Listening before asking: the answer may come before the call returns.
  auto listening = bus.subscribe(portal, path, "org.freedesktop.portal.Request", "Response",
                                 [&](sd_bus_message* m) {
                                   std::uint32_t code = 2;
                                   int status = sd_bus_message_read(m, "u", &code);
                                   if (status >= 0 && code == 0 && request.results) {
                                     status = readVariantDictionary(m, request.results);
                                   }
                                   {
                                     std::lock_guard guard(lock);
                                     readStatus = status;
                                     response = code;
                                   }
                                   answered.notify_all();
                                 });
  std::string handle;
  const bool called = bus.call(
      portal, portalPath, interface, member,
      [&](sd_bus_message* m) {
        int status = 0;
        if (!request.session.empty())
          status = sd_bus_message_append(m, "o", request.session.c_str());
        if (status >= 0 && request.parent) {
          status = sd_bus_message_append(m, "s", request.parent->c_str());
        }
        if (status >= 0) {
          status = appendVariantDictionary(m, [&](sd_bus_message* d) {
            int added = appendEntry(d, "handle_token", 's', token.c_str());
            if (added >= 0 && request.options) added = request.options(d);
            return added;
          });
        }
        return status;
      },
      [&](sd_bus_message* m) { return readObjectPath(m, handle); }, why);
  if (!called) {
    error = WaylandError::screenCastRefused;
    why = std::string("the desktop portal refused ") + member + " (" + why + ")";
    return false;
  }
  std::unique_lock guard(lock);
  if (!answered.wait_for(guard, request.wait, [&] { return response.has_value(); })) {
    guard.unlock();
    listening.reset();
    error = WaylandError::portalSilent;
    why = std::string("the desktop portal did not answer ") + member;
    return false;
  }
  const std::uint32_t code = *response;
  const int status = readStatus;
  guard.unlock();
  listening.reset();
  if (code == 1) {
    error = WaylandError::dialogCancelled;
    why = "the desktop's sharing dialog was cancelled";
    return false;
  }
  if (code != 0) {
    error = WaylandError::screenCastRefused;
    why = "the desktop did not allow sharing";
    return false;
  }
  if (status < 0) {
    error = WaylandError::screenCastRefused;
    why = std::string("the desktop portal's answer to ") + member + " could not be read";
    return false;
  }
  return true;
}

std::unique_ptr<PortalSession> PortalSession::start(std::shared_ptr<SessionBus> bus,
                                                    PortalSources what, const PortalTokens& tokens,
                                                    const std::function<void()>& beforeDialog,
                                                    const HostLogSink& log, std::error_code& error,
                                                    std::string& why) {
  const std::uint32_t version = portalProperty(*bus, remoteDesktop, "version");
  const std::uint32_t cursorModes = portalProperty(*bus, screenCast, "AvailableCursorModes");
  // Remote desktop sessions persist from version 2 on; before that every run asks.
  const bool persists = version >= 2;

  std::string session;
  Request create;
  const std::string sessionToken = newToken();
  create.options = [&](sd_bus_message* d) {
    return appendEntry(d, "session_handle_token", 's', sessionToken.c_str());
  };
  create.results = [&](sd_bus_message* v, std::string_view key) {
    return key == "session_handle" ? readSessionHandle(v, session) : 0;
  };
  if (!ask(*bus, remoteDesktop, "CreateSession", create, error, why)) return nullptr;
  if (session.empty()) {
    error = WaylandError::screenCastRefused;
    why = "the desktop portal made a session without naming it";
    return nullptr;
  }
  std::unique_ptr<PortalSession> made(new PortalSession(std::move(bus), session));
  made->persists_ = persists;
  SessionBus& b = *made->bus_;
  const bool window = what == PortalSources::window;

  const std::string restoreToken = persists && tokens.load ? tokens.load() : std::string();
  Request devices;
  devices.session = session;
  devices.options = [&](sd_bus_message* d) {
    const std::uint32_t types = keyboard | pointer;
    int status = appendEntry(d, "types", 'u', &types);
    if (status >= 0 && persists) status = appendEntry(d, "persist_mode", 'u', &persistUntilRevoked);
    if (status >= 0 && !restoreToken.empty()) {
      status = appendEntry(d, "restore_token", 's', restoreToken.c_str());
    }
    return status;
  };
  if (!ask(b, remoteDesktop, "SelectDevices", devices, error, why)) return nullptr;

  // The desktop's clipboard goes with the monitors' session, asked for before it starts; it
  // listens already, to hear whose the clipboard is when the desktop gives it.
  if (!window && portalProperty(b, clipboardInterface, "version") >= 1) {
    std::string refused;
    if (b.call(
            portal, portalPath, clipboardInterface, "RequestClipboard",
            [&](sd_bus_message* m) { return appendSession(m, session); }, nullptr, refused)) {
      made->clipboard_ =
          std::make_unique<SessionClipboard>(made->bus_, ClipboardPlace::portal(session));
    } else if (log) {
      log("Input", "The desktop portal did not offer its clipboard: " + refused);
    }
  }

  Request sources;
  sources.session = session;
  sources.options = [&](sd_bus_message* d) {
    const std::uint32_t types = window ? windowSources : monitorSources;
    const int multiple = window ? 0 : 1;
    const std::uint32_t cursor = (cursorModes & cursorEmbedded) ? cursorEmbedded : cursorHidden;
    int status = appendEntry(d, "types", 'u', &types);
    if (status >= 0) status = appendEntry(d, "multiple", 'b', &multiple);
    if (status >= 0) status = appendEntry(d, "cursor_mode", 'u', &cursor);
    return status;
  };
  if (!ask(b, screenCast, "SelectSources", sources, error, why)) return nullptr;

  if (log) {
    if (!restoreToken.empty()) {
      log("Host", window ? "Restoring the desktop's earlier permission to share a window"
                         : "Restoring the desktop's earlier permission to share the screen");
    } else {
      log("Host", window ? "The desktop asks which window Tavelin may share, and whether it may "
                           "control the pointer and keyboard"
                         : "The desktop asks whether Tavelin may share the screen and control "
                           "the pointer and keyboard");
    }
  }
  if (restoreToken.empty() && beforeDialog) beforeDialog();
  std::uint32_t granted = 0;
  int clipboardEnabled = 0;
  std::optional<std::string> newRestoreToken;
  Request begin;
  begin.session = session;
  begin.parent = "";
  begin.wait = dialogAnswer;
  begin.results = [&](sd_bus_message* v, std::string_view key) {
    if (key == "devices") return sd_bus_message_read(v, "v", "u", &granted);
    if (key == "streams") return readStreams(v, made->streams_);
    if (key == "clipboard_enabled") return sd_bus_message_read(v, "v", "b", &clipboardEnabled);
    if (key == "restore_token") {
      const char* text = nullptr;
      const int read = sd_bus_message_read(v, "v", "s", &text);
      if (read > 0) newRestoreToken = text ? text : "";
      return read;
    }
    return 0;
  };
  const bool started = ask(b, remoteDesktop, "Start", begin, error, why);
  // The token it was given is spent either way: keep the new one, or none.
  if (persists && tokens.save && (started || !restoreToken.empty())) {
    tokens.save(newRestoreToken.value_or(""));
  }
  if (!started) return nullptr;
  if (made->streams_.empty()) {
    error = WaylandError::noStream;
    why = window ? "the desktop shares no window" : "the desktop shares no monitor";
    return nullptr;
  }
  if (made->clipboard_) made->clipboard_->enable(clipboardEnabled != 0);
  if (log && (granted & (keyboard | pointer)) != (keyboard | pointer)) {
    log("Input",
        "Input error: the desktop shares the screen but did not allow remote "
        "control, so phones can watch but not use the pointer and keyboard");
  }
  return made;
}

SessionClipboard* PortalSession::clipboard() {
  return clipboard_ && clipboard_->enabled() && !ended_ ? clipboard_.get() : nullptr;
}

PortalSession::PortalSession(std::shared_ptr<SessionBus> bus, std::string session)
    : bus_(std::move(bus)), session_(std::move(session)) {
  closedSignal_ = bus_->subscribe(portal, session_, sessionInterface, "Closed",
                                  [this](sd_bus_message*) { ended_ = true; });
}

PortalSession::~PortalSession() {
  clipboard_.reset();  // no transfer is answered for a session that is closing
  closedSignal_.reset();
  if (ended_) return;
  std::string why;
  bus_->call(portal, session_, sessionInterface, "Close", nullptr, nullptr, why);
}

int PortalSession::openPipeWireRemote(std::string& why) {
  int fd = -1;
  if (!bus_->call(
          portal, portalPath, screenCast, "OpenPipeWireRemote",
          [&](sd_bus_message* m) { return appendSession(m, session_); },
          [&](sd_bus_message* m) { return readDescriptor(m, fd); }, why)) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

bool PortalSession::notify(const char* member,
                           const std::function<int(sd_bus_message*)>& arguments) {
  if (ended_) return false;
  std::string why;
  return bus_->call(
      portal, portalPath, remoteDesktop, member,
      [&](sd_bus_message* m) {
        const int status = appendSession(m, session_);
        return status < 0 ? status : arguments(m);
      },
      nullptr, why);
}

}  // namespace tavelin::wayland
