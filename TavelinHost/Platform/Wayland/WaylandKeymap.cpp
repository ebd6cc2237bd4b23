#include "TavelinHost/Platform/Wayland/WaylandKeymap.hpp"

#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <cstring>
#include <string>
#include <wayland-client.h>

namespace tavelin::wayland {

std::unordered_set<std::uint32_t> keysymsOfKeymap(const char* text, std::size_t size) {
  std::unordered_set<std::uint32_t> keysyms;
  std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(
      xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES), xkb_context_unref);
  if (!context) return keysyms;
  // The text ends at its first NUL byte, which the compositor includes in the size it sends.
  const std::string keymapText(text, strnlen(text, size));
  std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap(
      xkb_keymap_new_from_string(context.get(), keymapText.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                 XKB_KEYMAP_COMPILE_NO_FLAGS),
      xkb_keymap_unref);
  if (!keymap) return keysyms;
  const xkb_keycode_t last = xkb_keymap_max_keycode(keymap.get());
  for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap.get()); key <= last; ++key) {
    const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap.get(), key, 0);
    for (xkb_level_index_t level = 0; level < levels; ++level) {
      const xkb_keysym_t* symbols = nullptr;
      const int count = xkb_keymap_key_get_syms_by_level(keymap.get(), key, 0, level, &symbols);
      for (int i = 0; i < count; ++i) keysyms.insert(symbols[i]);
    }
  }
  return keysyms;
}

// A Wayland client with the seat's keyboard, which hands it the keymap (again after a change).
struct WaylandKeymap::Client {
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_seat* seat = nullptr;
  wl_keyboard* keyboard = nullptr;
  std::unordered_set<std::uint32_t> keysyms;

  ~Client() {
    if (keyboard) wl_keyboard_destroy(keyboard);
    if (seat) wl_seat_destroy(seat);
    if (registry) wl_registry_destroy(registry);
    if (display) wl_display_disconnect(display);
  }

  static void keymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd,
                     std::uint32_t size) {
    auto* self = static_cast<Client*>(data);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
      void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      if (mapped != MAP_FAILED) {
        self->keysyms = keysymsOfKeymap(static_cast<const char*>(mapped), size);
        ::munmap(mapped, size);
      }
    }
    ::close(fd);
  }
  static void enter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
  static void leave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
  static void key(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
  }
  static void modifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t,
                        std::uint32_t, std::uint32_t) {}
  static void repeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
  static constexpr wl_keyboard_listener keyboardListener{keymap, enter,     leave,
                                                         key,    modifiers, repeat};

  static void capabilities(void* data, wl_seat* seat, std::uint32_t capabilities) {
    auto* self = static_cast<Client*>(data);
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !self->keyboard) {
      self->keyboard = wl_seat_get_keyboard(seat);
      wl_keyboard_add_listener(self->keyboard, &keyboardListener, self);
    }
  }
  static void name(void*, wl_seat*, const char*) {}
  static constexpr wl_seat_listener seatListener{capabilities, name};

  static void global(void* data, wl_registry* registry, std::uint32_t id, const char* interface,
                     std::uint32_t version) {
    auto* self = static_cast<Client*>(data);
    if (!self->seat && std::strcmp(interface, wl_seat_interface.name) == 0) {
      self->seat = static_cast<wl_seat*>(
          wl_registry_bind(registry, id, &wl_seat_interface, std::min<std::uint32_t>(version, 5)));
      wl_seat_add_listener(self->seat, &seatListener, self);
    }
  }
  static void globalRemove(void*, wl_registry*, std::uint32_t) {}
  static constexpr wl_registry_listener registryListener{global, globalRemove};
};

std::unique_ptr<WaylandKeymap> WaylandKeymap::connect() {
  auto client = std::make_unique<Client>();
  client->display = wl_display_connect(nullptr);
  if (!client->display) return nullptr;
  client->registry = wl_display_get_registry(client->display);
  wl_registry_add_listener(client->registry, &Client::registryListener, client.get());
  // Globals, then the seat's capabilities, then the keyboard's keymap: a roundtrip each.
  for (int i = 0; i < 3; ++i) {
    if (wl_display_roundtrip(client->display) < 0) return nullptr;
  }
  if (!client->keyboard || client->keysyms.empty()) return nullptr;
  return std::unique_ptr<WaylandKeymap>(new WaylandKeymap(std::move(client)));
}

WaylandKeymap::WaylandKeymap(std::unique_ptr<Client> client) : client_(std::move(client)) {}
WaylandKeymap::~WaylandKeymap() = default;

void WaylandKeymap::refresh() {
  std::lock_guard guard(lock_);
  wl_display_roundtrip(client_->display);  // a new layout arrives as a keymap event
}

bool WaylandKeymap::types(std::uint32_t keysym) {
  std::lock_guard guard(lock_);
  return client_->keysyms.contains(keysym);
}

}  // namespace tavelin::wayland
