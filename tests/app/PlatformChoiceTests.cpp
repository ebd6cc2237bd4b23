#include <gtest/gtest.h>

#include <map>

#include "TavelinHost/Main/HostComposition.hpp"
#include "TavelinHost/Main/PlatformChoice.hpp"

namespace tavelin {
namespace {

PlatformChoice chosen(const std::map<std::string, std::string>& variables) {
  return choosePlatform([&](const std::string& name) -> std::optional<std::string> {
    const auto found = variables.find(name);
    if (found == variables.end() || found->second.empty()) return std::nullopt;
    return found->second;
  });
}

TEST(PlatformChoice, TheSessionDecidesAndTheLogIsToldWhatItMeans) {
  const auto x = chosen({{"DISPLAY", ":7"}, {"XDG_SESSION_TYPE", "x11"}});
  EXPECT_EQ(x.platform, Platform::x11);
  EXPECT_EQ(x.display, ":7");
  EXPECT_EQ(x.description, "X11 on display :7");

  // XWayland is taken, and said to show only X11 applications.
  for (const auto& session :
       {std::map<std::string, std::string>{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}},
        std::map<std::string, std::string>{{"DISPLAY", ":0"}, {"XDG_SESSION_TYPE", "wayland"}}}) {
    const auto xwayland = chosen(session);
    EXPECT_EQ(xwayland.platform, Platform::x11);
    EXPECT_NE(xwayland.description.find("only X11 applications"), std::string::npos);
  }

  const auto wayland = chosen({{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ""}});
  EXPECT_EQ(wayland.platform, std::nullopt);
  EXPECT_NE(wayland.description.find("Wayland session has no X display"), std::string::npos);

  const auto none = chosen({});
  EXPECT_EQ(none.platform, std::nullopt);
  EXPECT_NE(none.description.find("no X display to share"), std::string::npos);
  // Opening nothing says why, the same words.
  std::string why;
  EXPECT_FALSE(openPlatform(none, why));
  EXPECT_EQ(why, none.description);
}

TEST(PlatformChoice, ADisplayThatCannotBeOpenedIsNamed) {
  std::string why;
  EXPECT_FALSE(openPlatform({Platform::x11, ":4711", "X11 on display :4711"}, why));
  EXPECT_EQ(why, "cannot open the X display :4711");
}

}  // namespace
}  // namespace tavelin
