#pragma once

#include <functional>

namespace tavelin {

// Somewhere to run work later, in the order posted: "the main thread" is one (the Qt event
// loop in the app, a loop the test drives by hand in tests).
class Executor {
 public:
  virtual ~Executor() = default;
  virtual void post(std::function<void()> work) = 0;
};

}  // namespace tavelin
