#pragma once

#include <string>

#include "TavelinKit/Model/Geometry.hpp"
#include "TavelinKit/Model/ViewerMessages.hpp"

namespace tavelin {

// What the host's input service offers to replay a phone's input. Every position is a point in
// global screen space.
class InputServicing {
 public:
  virtual ~InputServicing() = default;

  virtual void movePointer(const ScreenPoint& to) = 0;
  virtual void leftClick(const ScreenPoint& at) = 0;
  virtual void doubleClick(const ScreenPoint& at) = 0;
  virtual void rightClick(const ScreenPoint& at) = 0;
  virtual void pointerDown(const ScreenPoint& at, MouseButton button) = 0;
  // Part of a stroke: a drag while a button is held, a plain move otherwise.
  virtual void pointerMove(const ScreenPoint& to) = 0;
  virtual void pointerUp(const ScreenPoint& at, MouseButton button) = 0;
  virtual void scroll(const ScreenPoint& at, double deltaX, double deltaY) = 0;
  virtual void keyPress(SpecialKey key) = 0;
  virtual void typeText(const std::string& text) = 0;

  void pointerDown(const ScreenPoint& at) { pointerDown(at, MouseButton::left); }
  void pointerUp(const ScreenPoint& at) { pointerUp(at, MouseButton::left); }
};

}  // namespace tavelin
