#pragma once

#include <gtest/gtest.h>

#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin::testing {

// Equal up to floating-point rounding.
inline void expectNear(const NormalizedRect& actual, const NormalizedRect& expected) {
  EXPECT_NEAR(actual.x, expected.x, 1e-12);
  EXPECT_NEAR(actual.y, expected.y, 1e-12);
  EXPECT_NEAR(actual.width, expected.width, 1e-12);
  EXPECT_NEAR(actual.height, expected.height, 1e-12);
}

}  // namespace tavelin::testing
