#include "TavelinHost/Platform/X11/X11Connection.hpp"

#include <cstdlib>
#include <cstring>

#include "TavelinKit/Foundation/UnicodeText.hpp"

namespace tavelin::x11 {

std::shared_ptr<Connection> Connection::open(const std::string& display) {
  int screenNumber = 0;
  xcb_connection_t* connection =
      xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
  if (connection == nullptr || xcb_connection_has_error(connection) != 0) {
    if (connection != nullptr) xcb_disconnect(connection);
    return nullptr;
  }
  auto iterator = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && iterator.rem > 0; ++i) xcb_screen_next(&iterator);
  if (iterator.rem == 0) {
    xcb_disconnect(connection);
    return nullptr;
  }
  return std::shared_ptr<Connection>(new Connection(connection, iterator.data));
}

Connection::~Connection() { xcb_disconnect(connection_); }

xcb_atom_t Connection::atom(std::string_view name) {
  const std::string key(name);
  {
    std::lock_guard guard(lock_);
    if (const auto found = atoms_.find(key); found != atoms_.end()) return found->second;
  }
  auto reply = own(xcb_intern_atom_reply(
      connection_,
      xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(key.size()), key.data()),
      nullptr));
  const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::lock_guard guard(lock_);
  atoms_.emplace(key, atom);
  return atom;
}

std::optional<std::vector<std::uint32_t>> Connection::cardinals(xcb_window_t window,
                                                                std::string_view property,
                                                                xcb_atom_t type) {
  auto reply = own(xcb_get_property_reply(
      connection_, xcb_get_property(connection_, 0, window, atom(property), type, 0, 4096),
      nullptr));
  if (!reply || reply->type == XCB_ATOM_NONE || reply->format != 32) return std::nullopt;
  const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  const int count = xcb_get_property_value_length(reply.get()) / 4;
  return std::vector<std::uint32_t>(values, values + count);
}

std::optional<std::string> Connection::bytes(xcb_window_t window, std::string_view property,
                                             xcb_atom_t* typeOut) {
  auto reply = own(xcb_get_property_reply(
      connection_, xcb_get_property(connection_, 0, window, atom(property), XCB_ATOM_ANY, 0, 16384),
      nullptr));
  if (!reply || reply->type == XCB_ATOM_NONE || reply->format != 8) return std::nullopt;
  if (typeOut != nullptr) *typeOut = reply->type;
  return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
}

std::string Connection::title(xcb_window_t window) {
  std::string name;
  if (auto utf8 = bytes(window, "_NET_WM_NAME")) {
    name = std::move(*utf8);
  } else {
    xcb_atom_t type = XCB_ATOM_NONE;
    const auto legacy = bytes(window, "WM_NAME", &type);
    if (!legacy) return {};
    if (type == atom("COMPOUND_TEXT")) {
      name = decodeCompoundText(*legacy);
    } else if (type == atom("UTF8_STRING")) {
      name = *legacy;
    } else {
      name = latin1ToUTF8(*legacy);
    }
  }
  // Titles come from any client: never let malformed bytes travel on.
  return unicode::isValidUTF8(name) ? name : unicode::removeControls(name);
}

std::optional<Connection::KeyboardMapping> Connection::keyboardMapping() {
  const auto* setup = xcb_get_setup(connection_);
  const int count = setup->max_keycode - setup->min_keycode + 1;
  auto reply = own(xcb_get_keyboard_mapping_reply(
      connection_,
      xcb_get_keyboard_mapping(connection_, setup->min_keycode, static_cast<std::uint8_t>(count)),
      nullptr));
  if (!reply) return std::nullopt;
  const auto* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
  return KeyboardMapping{setup->min_keycode,
                         reply->keysyms_per_keycode,
                         {keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply.get())}};
}

bool Connection::hasWindowManager() {
  const auto check = cardinals(root(), "_NET_SUPPORTING_WM_CHECK", XCB_ATOM_WINDOW);
  if (!check || check->empty()) return false;
  const auto self = cardinals((*check)[0], "_NET_SUPPORTING_WM_CHECK", XCB_ATOM_WINDOW);
  return self && !self->empty() && (*self)[0] == (*check)[0];
}

std::string latin1ToUTF8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string decodeCompoundText(std::string_view text) {
  std::string out;
  bool utf8 = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0x1B) {
      if (text.substr(i, 3) == "\x1b%G") {
        utf8 = true;
        i += 2;
      } else if (text.substr(i, 3) == "\x1b%@") {
        utf8 = false;
        i += 2;
      } else {
        // Another designation: skip its intermediate bytes and final byte.
        while (i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0x30) ++i;
        ++i;
      }
      continue;
    }
    if (utf8 || c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out += latin1ToUTF8(text.substr(i, 1));
    }
  }
  return out;
}

}  // namespace tavelin::x11
