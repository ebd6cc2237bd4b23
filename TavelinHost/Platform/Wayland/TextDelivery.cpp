#include "TavelinHost/Platform/Wayland/TextDelivery.hpp"

#include "TavelinHost/Platform/KeySymbols.hpp"
#include "TavelinHost/Platform/Wayland/MutterRemoteDesktop.hpp"
#include "TavelinHost/Platform/Wayland/SessionBus.hpp"
#include "TavelinHost/Platform/Wayland/SessionClipboard.hpp"
#include "TavelinHost/Platform/Wayland/WaylandKeymap.hpp"
#include "TavelinKit/Foundation/UnicodeText.hpp"

namespace tavelin::wayland {

TextDelivery::TextDelivery(std::shared_ptr<SessionBus> bus, std::string session,
                           MutterRemoteDesktop& keys)
    : keys_(keys),
      keymap_(WaylandKeymap::connect()),
      clipboard_(std::make_unique<SessionClipboard>(bus, ClipboardPlace::mutter(session))) {
  std::string why;
  clipboard_->enable(bus->call(
      "org.gnome.Mutter.RemoteDesktop", session, "org.gnome.Mutter.RemoteDesktop.Session",
      "EnableClipboard", [](sd_bus_message* m) { return appendVariantDictionary(m, nullptr); },
      nullptr, why));
}

TextDelivery::~TextDelivery() = default;

std::vector<TextRun> planText(const std::u32string& characters,
                              const std::function<bool(std::uint32_t keysym)>& layoutTypes) {
  std::vector<TextRun> runs;
  for (const char32_t character : characters) {
    const std::uint32_t keysym = keys::keysymFor(character);
    if (keysym == keys::noSymbol) continue;
    const bool isKey = keysym >= 0xff00 && keysym <= 0xffff;  // on every layout
    const bool pasted = !isKey && !layoutTypes(keysym);
    if (runs.empty() || runs.back().pasted != pasted) runs.push_back({pasted, {}, {}});
    if (pasted) {
      runs.back().characters.push_back(character);
    } else {
      runs.back().keysyms.push_back(keysym);
    }
  }
  return runs;
}

std::size_t TextDelivery::type(const std::u32string& characters) {
  std::lock_guard typing(typing_);
  // The seat has a keyboard only once the session's virtual one exists.
  if (!keymap_) keymap_ = WaylandKeymap::connect();
  if (keymap_) keymap_->refresh();
  std::size_t lost = 0;
  const auto runs =
      planText(characters, [&](std::uint32_t keysym) { return keymap_ && keymap_->types(keysym); });
  for (const auto& run : runs) {
    if (run.pasted) {
      // Shift+Insert, which text fields and terminals alike take.
      const auto chord = [&] {
        return keys_.keysym(shift, true) && keys_.keysym(insert, true) &&
               keys_.keysym(insert, false) && keys_.keysym(shift, false);
      };
      if (!clipboard_->paste(unicode::utf8(run.characters), chord)) {
        lost += run.characters.size();
      }
      continue;
    }
    for (const std::uint32_t keysym : run.keysyms) {
      if (!keys_.keysym(keysym, true) || !keys_.keysym(keysym, false)) ++lost;
    }
  }
  return lost;
}

}  // namespace tavelin::wayland
