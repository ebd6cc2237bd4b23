#pragma once

#include <memory>

#include "TavelinKit/Model/Portal.hpp"

namespace tavelin::testing {

// A picture of the whole portal made of these bytes.
inline CapturedFrame wholePicture(Bytes bytes) {
  return {
      std::make_shared<const Bytes>(std::move(bytes)), {}, {}, std::nullopt, NormalizedRect::full};
}

}  // namespace tavelin::testing
