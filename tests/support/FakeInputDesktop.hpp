#pragma once

#include <memory>

#include "TavelinHost/Input/InputService.hpp"
#include "tests/support/FakePlatform.hpp"
#include "tests/support/RecordingEventPoster.hpp"

namespace tavelin::testing {

// Everything the input service reaches, faked: events are written down, windows, applications
// and the window control are plain fields. A fixture may derive from it to have them at hand.
struct FakeInputDesktop {
  std::shared_ptr<RecordingEventPoster> poster = std::make_shared<RecordingEventPoster>();
  std::shared_ptr<FakeWindowServer> windows = std::make_shared<FakeWindowServer>();
  std::shared_ptr<FakeApplicationRegistry> applications =
      std::make_shared<FakeApplicationRegistry>();
  std::shared_ptr<FakeWindowControl> control = std::make_shared<FakeWindowControl>();

  InputService::Desktop desktop() const { return {poster, windows, applications, control}; }
};

}  // namespace tavelin::testing
