#pragma once

#include <vector>

#include "TavelinKit/Model/Portal.hpp"
#include "tests/support/FakeClock.hpp"

namespace tavelin::testing {

// One portal of each kind, with fixed ids and dates: the content of tests/golden/portals.json.
inline std::vector<Portal> samplePortals() {
  const WindowTarget mail{"org.gnome.Evolution", "Mail", "Inbox", 4242, 0x1C00007, 1280, 800};
  const WindowTarget terminal{"XTerm", "Terminal", "", 77, 0x2A0000E, 640.5, 480};
  return {
      Portal{*Uuid::parse("0F6A2E4C-8B1D-4C3E-9A7F-112233445566"), "Left screen",
             utc(2026, 3, 1, 9, 15, 2), ScreenRegionPortalData{{100, 200, 800, 600}, 1, true}},
      Portal{*Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), "Inbox \u2709",
             utc(2026, 3, 2, 18, 0, 0), WindowPortalData{mail, WindowCaptureMode::fullWindow}},
      Portal{*Uuid::parse("A1B2C3D4-E5F6-4789-8ABC-DEF012345678"), "Build log",
             utc(2026, 12, 31, 23, 59, 59),
             WindowRegionPortalData{terminal,
                                    {0, 0, 0.5, 1},
                                    {0, 0, 320, 480},
                                    RegionResizeBehavior::keepPixelSize,
                                    WindowCaptureMode::contentOnly}},
  };
}

}  // namespace tavelin::testing
