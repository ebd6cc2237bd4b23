#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "TavelinHost/Platform/EventPoster.hpp"

namespace tavelin::testing {

// An event poster that writes down what it is asked to post, as text a test can compare:
// "mouse 1 b0 c1 @10,20", "wheel 91 0", "key 36", "text abc". Events of the kinds in `failing`
// cannot be made.
class RecordingEventPoster final : public EventPoster {
 public:
  std::set<std::string> failing;  // "mouse", "wheel", "key", "text"
  bool wholeText = false;         // takes a whole message at once, as desktops that batch do

  bool mouse(MouseEventType type, const ScreenPoint& at, int button, int clickState) override {
    std::lock_guard guard(lock_);
    if (failing.contains("mouse")) return false;
    const int value = static_cast<int>(type);
    if (value == 1 || value == 3 || value == 25) held_.insert(button);
    if (value == 2 || value == 4 || value == 26) held_.erase(button);
    events_.push_back("mouse " + std::to_string(value) + " b" + std::to_string(button) + " c" +
                      std::to_string(clickState) + " @" + point(at));
    return true;
  }
  bool scrollWheel(std::int32_t vertical, std::int32_t horizontal, ScrollCarry&) override {
    return record("wheel", "wheel " + std::to_string(vertical) + " " + std::to_string(horizontal));
  }
  bool keyPress(std::uint16_t virtualKey) override {
    return record("key", "key " + std::to_string(virtualKey));
  }
  bool setClipboard(std::string_view utf8) override {
    return record("clipboard", "clipboard " + std::string(utf8));
  }
  bool modifierKey(std::uint16_t virtualKey, bool down) override {
    return record("modifier", std::string(down ? "down " : "up ") + std::to_string(virtualKey));
  }
  bool typeUnits(std::u16string_view units) override {
    std::lock_guard guard(lock_);
    if (failing.contains("text")) return false;
    chunks_.emplace_back(units);
    events_.push_back("text " + std::to_string(units.size()));
    return true;
  }
  bool typesWholeText() const override { return wholeText; }
  bool isButtonDown(int button) override {
    std::lock_guard guard(lock_);
    return held_.contains(button);
  }

  std::vector<std::string> take() {
    std::lock_guard guard(lock_);
    return std::exchange(events_, {});
  }
  std::vector<std::u16string> chunks() {
    std::lock_guard guard(lock_);
    return chunks_;
  }

 private:
  static std::string point(const ScreenPoint& at) {
    return std::to_string(static_cast<long long>(at.x)) + "," +
           std::to_string(static_cast<long long>(at.y));
  }
  bool record(const std::string& kind, std::string line) {
    std::lock_guard guard(lock_);
    if (failing.contains(kind)) return false;
    events_.push_back(std::move(line));
    return true;
  }

  std::mutex lock_;
  std::vector<std::string> events_;
  std::vector<std::u16string> chunks_;
  std::set<int> held_;
};

}  // namespace tavelin::testing
