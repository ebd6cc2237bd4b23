// The pure rules of the GNOME adapters: where a pointer motion goes among Mutter's monitors and
// streams, which monitor is the one a virtual display made, and what introspection offers.
#include <gtest/gtest.h>

#include "TavelinHost/Platform/Wayland/MutterRemoteDesktop.hpp"
#include "TavelinHost/Platform/Wayland/MutterVirtualDisplay.hpp"
#include "TavelinHost/Platform/Wayland/SessionBus.hpp"

namespace tavelin::wayland {
namespace {

TEST(PlacePointer, MonitorsWithoutAStreamAreReachedThroughTheFirstOne) {
  // The screen at 2× (points), a second one above it, and a virtual display that appeared
  // later to the right: only the first two have streams.
  const PointerMonitor screen{"eDP-1", {0, 0, 1280, 720}, 2};
  const PointerMonitor above{"HDMI-1", {0, -1024, 1280, 1024}, 1};
  const PointerMonitor later{"Meta-1", {1280, 0, 1024, 768}, 1};
  const std::vector<PointerMonitor> streams{screen, above};
  const std::vector<PointerMonitor> layout{screen, above, later};
  const struct {
    ScreenPoint at;
    std::size_t stream;
    double x, y;
  } cases[] = {
      {{100, 50}, 0, 200, 100},         // on the screen: its pixels
      {{10, -10}, 1, 10, 1014},         // on the one above, in its own stream
      {{1792, 384}, 0, 3584, 768},      // on the later one: the first stream, beyond its edge
      {{5000, 384}, 0, 2 * 2303, 768},  // right of everything: the later one's edge
      {{-50, 900}, 0, 0, 2 * 719},      // below and left of the screen: its corner
  };
  for (const auto& c : cases) {
    const auto target = placePointer(streams, layout, c.at);
    ASSERT_TRUE(target);
    EXPECT_EQ(target->stream, c.stream) << c.at.x << "," << c.at.y;
    EXPECT_DOUBLE_EQ(target->x, c.x) << c.at.x << "," << c.at.y;
    EXPECT_DOUBLE_EQ(target->y, c.y) << c.at.x << "," << c.at.y;
  }
  // Before any layout was read the streams' own monitors are the layout: the later display is
  // not known, and a point there goes to the screen's edge.
  const auto unknown = placePointer(streams, {}, {1792, 384});
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->stream, 0u);
  EXPECT_DOUBLE_EQ(unknown->x, 2 * 1279);
  EXPECT_FALSE(placePointer({}, layout, {0, 0}));
}

MutterMonitor monitor(const std::string& connector, ScreenRect bounds, double scale = 1) {
  return {connector, {MutterDisplays::displayID(connector), bounds, scale, false}};
}

TEST(AddedMonitor, IsTheNewConnectorOfTheRequestedPixelSize) {
  const std::vector<std::string> before{"Meta-0", "Meta-1"};
  const auto screen = monitor("Meta-0", {0, 0, 1280, 720});
  const auto other = monitor("Meta-1", {1280, 0, 1024, 768});  // someone else's, already there
  EXPECT_FALSE(addedMonitor(before, {screen, other}, 1024, 768));
  // A new one of another size is not ours (yet): Mutter may show it before its mode is set.
  EXPECT_FALSE(
      addedMonitor(before, {screen, other, monitor("Meta-2", {2304, 0, 800, 600})}, 1024, 768));
  const auto ours =
      addedMonitor(before, {screen, other, monitor("Meta-2", {2304, 0, 1024, 768})}, 1024, 768);
  ASSERT_TRUE(ours);
  EXPECT_EQ(ours->connector, "Meta-2");
  EXPECT_EQ(ours->display.displayID, MutterDisplays::displayID("Meta-2"));
  // In a logical layout at 2× its bounds are points: half its pixels.
  EXPECT_TRUE(addedMonitor(before, {screen, monitor("Meta-2", {1280, 0, 512, 384}, 2)}, 1024, 768));
}

TEST(IntrospectionOffers, NamesTheInterfaceAndOnlyItsOwnMethods) {
  const std::string xml =
      "<node><interface name=\"org.gnome.Mutter.ScreenCast.Session\">"
      "<method name=\"Start\"/><method name=\"RecordMonitor\"><arg type=\"s\"/></method>"
      "</interface><interface name=\"org.example.Other\"><method name=\"RecordVirtual\"/>"
      "</interface></node>";
  EXPECT_TRUE(introspectionOffers(xml, "org.gnome.Mutter.ScreenCast.Session"));
  EXPECT_TRUE(introspectionOffers(xml, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor"));
  // Another interface's method of that name, or a longer name, does not count.
  EXPECT_FALSE(introspectionOffers(xml, "org.gnome.Mutter.ScreenCast.Session", "RecordVirtual"));
  EXPECT_FALSE(introspectionOffers(xml, "org.gnome.Mutter.ScreenCast.Session", "Record"));
  EXPECT_FALSE(introspectionOffers(xml, "org.gnome.Mutter.ScreenCast"));
  EXPECT_TRUE(introspectionOffers(xml, "org.example.Other", "RecordVirtual"));
}

}  // namespace
}  // namespace tavelin::wayland
