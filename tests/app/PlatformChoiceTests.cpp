#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "TavelinHost/Main/HostComposition.hpp"
#include "TavelinHost/Main/PlatformChoice.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using wayland::Backend;

PlatformChoice chosen(const std::map<std::string, std::string>& variables,
                      const std::vector<std::string>& arguments = {}) {
  std::string error;
  const auto request = platformRequest(arguments, error);
  EXPECT_TRUE(request) << error;
  return choosePlatform(
      [&](const std::string& name) -> std::optional<std::string> {
        const auto found = variables.find(name);
        if (found == variables.end() || found->second.empty()) return std::nullopt;
        return found->second;
      },
      request.value_or(PlatformRequest{}));
}

TEST(PlatformChoice, TheSessionDecidesTheCommandLineOverridesAndTheLogIsToldWhatItMeans) {
  const auto x = chosen({{"DISPLAY", ":7"}, {"XDG_SESSION_TYPE", "x11"}});
  EXPECT_EQ(x.platform, Platform::x11);
  EXPECT_EQ(x.display, ":7");
  EXPECT_EQ(x.description, "X11 on display :7");

  // A Wayland session is served as Wayland even where XWayland offers an X display.
  for (const auto& session :
       {std::map<std::string, std::string>{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}},
        std::map<std::string, std::string>{{"DISPLAY", ":0"}, {"XDG_SESSION_TYPE", "wayland"}},
        std::map<std::string, std::string>{{"WAYLAND_DISPLAY", "wayland-1"}}}) {
    const auto wayland = chosen(session);
    EXPECT_EQ(wayland.platform, Platform::wayland);
    EXPECT_EQ(wayland.backend, std::nullopt);
  }
  // X11 there only when asked for, and then said to show only X11 applications.
  const auto xwayland = chosen({{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}},
                               {"--headless", "--platform", "x11"});
  EXPECT_EQ(xwayland.platform, Platform::x11);
  EXPECT_NE(xwayland.description.find("only X11 applications"), std::string::npos);
  // A backend asked for implies Wayland, in any session.
  const auto mutter = chosen({{"DISPLAY", ":3"}}, {"--wayland-backend", "mutter"});
  EXPECT_EQ(mutter.platform, Platform::wayland);
  EXPECT_EQ(mutter.backend, Backend::mutter);

  const auto none = chosen({});
  EXPECT_EQ(none.platform, std::nullopt);
  EXPECT_NE(none.description.find("neither a Wayland session nor an X display"), std::string::npos);
  EXPECT_EQ(chosen({}, {"--platform", "x11"}).description,
            "no X display to share (DISPLAY is not set)");
  // Opening nothing says why, the same words.
  std::string why;
  EXPECT_FALSE(openPlatform(none, why));
  EXPECT_EQ(why, none.description);
}

TEST(PlatformChoice, ThePortalsRestoreTokensAreReplacedEachTimeAndADamagedFileGivesNone) {
  testing::TemporaryDirectory directory;
  const auto folder = std::make_shared<DataFolder>(directory.path());
  const auto store = portalTokens(StoredFile(folder, "desktop-portal.json"));
  const auto screens = store.of("screens");
  const auto window = store.of("window 3");
  EXPECT_EQ(screens.load(), "");  // none yet: the desktop asks
  screens.save("first");
  screens.save("second");  // tokens are good once: the newest replaces the spent one
  EXPECT_EQ(screens.load(), "second");
  EXPECT_EQ(portalTokens(StoredFile(folder, "desktop-portal.json")).of("screens").load(), "second");

  // Each window's token is kept beside the screens' and spent on its own.
  window.save("w1");
  store.of("window 12").save("w2");
  EXPECT_EQ(window.load(), "w1");
  EXPECT_EQ(screens.load(), "second");
  window.save("");
  EXPECT_EQ(store.load(),
            (std::map<std::string, std::string>{{"screens", "second"}, {"window 12", "w2"}}));
  screens.save("");  // a spent token with no new one
  EXPECT_EQ(screens.load(), "");
  EXPECT_EQ(store.of("window 12").load(), "w2");

  for (const char* damaged :
       {"not json", "[]", R"({"restoreToken": 7})", R"({"restoreToken": "a", "windows": 5})"}) {
    std::ofstream(directory.path() / "desktop-portal.json") << damaged;
    EXPECT_EQ(window.load(), "") << damaged;
    screens.save("fresh");
    EXPECT_EQ(screens.load(), "fresh") << damaged;
  }
}

TEST(PlatformChoice, WrongOptionsAreNamed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--platform"}, "--platform needs a value"},
      {{"--platform", "mir"}, "unknown platform mir (x11 or wayland)"},
      {{"--wayland-backend", "kwin"}, "unknown Wayland backend kwin (portal, mutter or wlroots)"},
      {{"--platform", "x11", "--wayland-backend", "mutter"},
       "--wayland-backend goes with the Wayland platform, not X11"},
  };
  for (const auto& [arguments, expected] : cases) {
    std::string error;
    EXPECT_FALSE(platformRequest(arguments, error));
    EXPECT_EQ(error, expected);
  }
}

TEST(PlatformChoice, TheWaylandBackendFollowsWhatTheSessionOffers) {
  using wayland::chooseBackend;
  const wayland::Offers gnome{true, true, true}, kde{false, true, true},
      wlroots{false, true, false}, bare{};
  // The portals by default, Mutter's interfaces where preferred and present.
  EXPECT_EQ(chooseBackend(std::nullopt, false, gnome).backend, Backend::portal);
  EXPECT_EQ(chooseBackend(std::nullopt, true, gnome).backend, Backend::mutter);
  EXPECT_EQ(chooseBackend(std::nullopt, true, kde).backend, Backend::portal);
  EXPECT_EQ(chooseBackend(std::nullopt, false, {true, false, false}).backend, Backend::mutter);
  // What is asked for, or a reason.
  EXPECT_EQ(chooseBackend(Backend::mutter, false, gnome).backend, Backend::mutter);
  const auto noMutter = chooseBackend(Backend::mutter, false, kde);
  EXPECT_EQ(noMutter.backend, std::nullopt);
  EXPECT_NE(noMutter.reason.find("Mutter's screen cast and remote desktop"), std::string::npos);
  const auto screenCastOnly = chooseBackend(Backend::portal, false, wlroots);
  EXPECT_EQ(screenCastOnly.backend, std::nullopt);
  EXPECT_NE(screenCastOnly.reason.find("no remote desktop"), std::string::npos);
  // A wlroots compositor needs no dialog and no bus; it wins unless Mutter is preferred.
  const wayland::Offers sway{false, false, false, true}, swayWithPortal{false, true, true, true};
  EXPECT_EQ(chooseBackend(std::nullopt, false, sway).backend, Backend::wlroots);
  EXPECT_EQ(chooseBackend(std::nullopt, false, swayWithPortal).backend, Backend::wlroots);
  EXPECT_EQ(chooseBackend(Backend::portal, false, swayWithPortal).backend, Backend::portal);
  EXPECT_NE(chooseBackend(Backend::wlroots, false, gnome).reason.find("no wlroots screencopy"),
            std::string::npos);
  EXPECT_EQ(chooseBackend(std::nullopt, false, bare).backend, std::nullopt);
  EXPECT_NE(chooseBackend(std::nullopt, false, bare).reason.find("neither"), std::string::npos);
}

TEST(PlatformChoice, ADisplayThatCannotBeOpenedIsNamed) {
  std::string why;
  EXPECT_FALSE(openPlatform({Platform::x11, ":4711", {}, "X11 on display :4711"}, why));
  EXPECT_EQ(why, "cannot open the X display :4711");
}

}  // namespace
}  // namespace tavelin
