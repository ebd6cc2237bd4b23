#include "TavelinHost/Platform/Wayland/WaylandErrors.hpp"

#include <string>

namespace tavelin::wayland {

namespace {

class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "wayland"; }
  std::string message(int code) const override {
    switch (static_cast<WaylandError>(code)) {
      case WaylandError::screenCastRefused: return "the desktop refused to share the screen";
      case WaylandError::streamEnded: return "the desktop ended the screen stream";
      case WaylandError::noStream: return "the desktop did not start the screen stream";
      case WaylandError::noSuchMonitor: return "that display is not connected";
      case WaylandError::windowsNotOffered:
        return "this desktop does not let Tavelin capture a single window";
      case WaylandError::dialogCancelled: return "the desktop's sharing dialog was cancelled";
      case WaylandError::portalSilent: return "the desktop portal did not answer";
    }
    return "Wayland error " + std::to_string(code);
  }
};

}  // namespace

const std::error_category& waylandCategory() {
  static const Category category;
  return category;
}

std::error_code make_error_code(WaylandError error) {
  return {static_cast<int>(error), waylandCategory()};
}

}  // namespace tavelin::wayland
