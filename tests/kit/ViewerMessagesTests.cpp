#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "TavelinKit/Model/ViewerMessages.hpp"

namespace tavelin {
namespace {

using nlohmann::json;

std::string repeat(const std::string& unit, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += unit;
  return out;
}

TEST(InputMessage, ParsesWhatPhonesSend) {
  const auto tap = InputMessage::parse(R"({"type":"tap","x":0.25,"y":0.75})");
  ASSERT_TRUE(tap);
  EXPECT_EQ(tap->type, InputMessageType::tap);
  EXPECT_EQ(tap->normalizedPoint(), (NormalizedPoint{0.25, 0.75}));

  const auto scroll =
      InputMessage::parse(toBytes(R"({"type":"scroll","x":1,"y":0,"dx":-3.5,"dy":12})"));
  ASSERT_TRUE(scroll);
  EXPECT_EQ(scroll->deltaX, -3.5);
  EXPECT_EQ(scroll->deltaY, 12);

  const auto select =
      InputMessage::parse(R"({"type":"selectportal","portalId":"ABC","extra":[1]})");
  ASSERT_TRUE(select);
  EXPECT_EQ(select->portalId, "ABC");

  EXPECT_EQ(InputMessage::parse(R"({"type":"tap"})"),
            (InputMessage{"tap", 0, 0, 0, 0, {}, {}, {}}));
  // Unknown types parse; receivers ignore them.
  EXPECT_EQ(InputMessage::parse(R"({"type":"Tap"})")->type, "Tap");
}

// Held keys ride along on keys, taps and strokes; names this host does not know, and lists
// that are not lists, add nothing, so a newer phone's message still works.
TEST(InputMessage, ModifiersAreReadFromTheirListAndWrittenBack) {
  const auto copy = InputMessage::parse(R"({"type":"text","text":"c","modifiers":["ctrl"]})");
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->modifiers, bit(Modifier::ctrl));
  const auto all = InputMessage::parse(
      R"({"type":"tap","modifiers":["super","shift","hyper",7,null,"Ctrl","alt","shift"]})");
  ASSERT_TRUE(all);
  EXPECT_EQ(all->modifiers, bit(Modifier::super) | bit(Modifier::shift) | bit(Modifier::alt));
  for (const char* odd : {R"({"type":"key","key":"f4","modifiers":"alt"})",
                          R"({"type":"key","key":"f4","modifiers":{"alt":true}})",
                          R"({"type":"key","key":"f4","modifiers":[]})"}) {
    const auto message = InputMessage::parse(std::string(odd));
    ASSERT_TRUE(message) << odd;
    EXPECT_EQ(message->modifiers, 0) << odd;
    EXPECT_EQ(message->key, "f4");
  }
  // Written in a fixed order, and read back the same.
  const auto again = InputMessage::parse(all->jsonString());
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *all);
  EXPECT_NE(all->jsonString().find(R"("modifiers":["alt","shift","super"])"), std::string::npos);
  EXPECT_EQ(InputMessage::parse(R"({"type":"tap"})")->jsonString().find("modifiers"),
            std::string::npos);
}

TEST(InputMessage, RejectsWhatIsNotAMessage) {
  for (const char* bad :
       {"", " ", "[]", R"("tap")", "42", "null", R"({"type":""})", R"({"type":7})", R"({"x":0.5})",
        R"({"type":"tap")", R"({"type":"tap"} trailing)", "{\"type\":\"t\xFF\"}"}) {
    EXPECT_FALSE(InputMessage::parse(std::string(bad))) << bad;
  }
}

TEST(InputMessage, NumbersAreLenient) {
  const auto message =
      InputMessage::parse(R"({"type":"tap","x":"0.5","y":true,"dx":false,"dy":null})");
  ASSERT_TRUE(message);
  EXPECT_EQ(message->x, 0);
  EXPECT_EQ(message->y, 1);
  EXPECT_EQ(message->deltaX, 0);
  EXPECT_EQ(message->deltaY, 0);
  // JSON cannot spell infinity; a number beyond double range makes the text invalid JSON.
  EXPECT_EQ(InputMessage::parse(R"({"type":"tap","x":1e400})"), std::nullopt);
  EXPECT_EQ(InputMessage::parse(R"({"type":"tap","x":3})")->x, 3);  // no clamping here
}

TEST(InputMessage, StringsAreCutToTheirLimitInUserPerceivedCharacters) {
  const std::string flag = "\U0001F1EF\U0001F1F5";
  const auto message = InputMessage::parse(json{
      {"type", "text"},
      {"text", std::string(5000, 'a')},
      {"key", std::string(40, 'k')},
      {"portalId", repeat(flag, 70)}}.dump());
  ASSERT_TRUE(message);
  EXPECT_EQ(message->text, std::string(4096, 'a'));
  EXPECT_EQ(message->key, std::string(32, 'k'));
  EXPECT_EQ(message->portalId, repeat(flag, 64));

  const auto exact =
      InputMessage::parse(json{{"type", "text"}, {"text", repeat("é", 4096)}}.dump());
  EXPECT_EQ(exact->text, repeat("é", 4096));
  const auto notStrings =
      InputMessage::parse(R"({"type":"text","text":5,"key":null,"portalId":{}})");
  EXPECT_EQ(notStrings->text, std::nullopt);
  EXPECT_EQ(notStrings->key, std::nullopt);
  EXPECT_EQ(notStrings->portalId, std::nullopt);
}

// A phone names a preset; the host names the one that holds, or "custom" for a quality the
// settings file has between them, and says whether the phone may choose.
TEST(QualityMessages, PresetsByNameBothWays) {
  const auto asked = InputMessage::parse(R"({"type":"quality","preset":"high"})");
  ASSERT_TRUE(asked);
  EXPECT_EQ(asked->preset, "high");
  EXPECT_EQ(json::parse(asked->jsonString())["preset"], "high");
  // Only a quality message carries one.
  EXPECT_EQ(InputMessage::parse(R"({"type":"key","key":"a","preset":"high"})")->preset,
            std::nullopt);
  EXPECT_EQ(InputMessage::parse(R"({"type":"quality","preset":7})")->preset, std::nullopt);

  ASSERT_TRUE(findQualityPreset("low"));
  EXPECT_EQ(findQualityPreset("low")->jpegQuality, 0.4);
  EXPECT_EQ(findQualityPreset("balanced")->label, "Balanced");
  EXPECT_EQ(findQualityPreset("High"), std::nullopt);  // names are exact
  EXPECT_EQ(findQualityPreset(""), std::nullopt);

  EXPECT_EQ(json::parse(qualityJson(0.8, true)),
            json::parse(R"({"type":"quality","preset":"high","choosable":true})"));
  EXPECT_EQ(json::parse(qualityJson(0.6, false))["preset"], "balanced");
  EXPECT_EQ(presetOfQuality(0.1 * 4), "low");  // not exactly 0.4, still Low
  EXPECT_EQ(presetOfQuality(0.73), "custom");
}

TEST(SpecialKey, ParsesNamesIgnoringCaseButNotAliases) {
  EXPECT_EQ(parseSpecialKey("ENTER"), SpecialKey::enter);
  EXPECT_EQ(parseSpecialKey("Enter"), SpecialKey::enter);
  EXPECT_EQ(parseSpecialKey("enter"), SpecialKey::enter);
  EXPECT_EQ(parseSpecialKey("ArrowUp"), SpecialKey::arrowUp);
  EXPECT_EQ(parseSpecialKey("pagedown"), SpecialKey::pageDown);
  EXPECT_EQ(parseSpecialKey("Delete"), SpecialKey::deleteKey);
  EXPECT_EQ(parseSpecialKey("F1"), SpecialKey::f1);
  EXPECT_EQ(parseSpecialKey("f12"), SpecialKey::f12);
  EXPECT_EQ(parseSpecialKey("Insert"), SpecialKey::insert);
  EXPECT_EQ(parseSpecialKey("print"), SpecialKey::print);
  EXPECT_EQ(parseSpecialKey("menu"), SpecialKey::menu);
  for (const char* bad : {"", "F13", "f0", "Esc", "Return", "Up", " enter", "PrintScreen"}) {
    EXPECT_EQ(parseSpecialKey(std::string(bad)), std::nullopt) << bad;
  }
  EXPECT_EQ(parseSpecialKey(std::nullopt), std::nullopt);

  EXPECT_EQ(specialKeyFromRaw("arrowLeft"), SpecialKey::arrowLeft);
  EXPECT_EQ(specialKeyFromRaw("ArrowLeft"), std::nullopt);
  for (SpecialKey key : allSpecialKeys) EXPECT_EQ(specialKeyFromRaw(rawValue(key)), key);
  EXPECT_EQ(allSpecialKeys.size(), 28u);
}

TEST(PortalStateMessage, SerialisesWithoutAbsentKeys) {
  EXPECT_EQ(json::parse(PortalStateMessage::noPortal().jsonString()),
            json::parse(R"({"type":"state","state":"idle","statusText":"No portal active",
                            "sourceWidth":0,"sourceHeight":0,"streaming":false,"shared":false})"));
  const auto stopped =
      PortalStateMessage::notShared("E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "Mail");
  EXPECT_EQ(json::parse(stopped.jsonString()),
            json::parse(R"({"type":"state","state":"idle","statusText":"Not shared",
                            "portalId":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","portalName":"Mail",
                            "sourceWidth":0,"sourceHeight":0,"streaming":false,"shared":false})"));
  EXPECT_EQ(PortalStateMessage::decode(stopped.jsonString()), stopped);
  // A shared portal nothing captures yet is there: it is no "No portal active".
  const PortalStateMessage waiting("E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "Mail",
                                   PortalCaptureState::idle, PixelSize::empty, false);
  EXPECT_EQ(waiting.state, "idle");
  EXPECT_EQ(waiting.statusText, "Shared, not streaming yet");
  EXPECT_EQ(PortalStateMessage(std::nullopt, std::nullopt, PortalCaptureState::idle,
                               PixelSize::empty, false)
                .statusText,
            "No portal active");
  // A message without the key (an older host's) reads as shared.
  EXPECT_TRUE(PortalStateMessage::decode(R"({"type":"state","state":"idle","statusText":"x",
                            "sourceWidth":0,"sourceHeight":0,"streaming":false})")
                  ->shared);

  const PortalStateMessage running("E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "Mail",
                                   PortalCaptureState::starting, {1280, 720}, false);
  const auto parsed = json::parse(running.jsonString());
  EXPECT_EQ(parsed["portalId"], "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(parsed["statusText"], "Starting capture\u2026");
  EXPECT_TRUE(parsed["sourceWidth"].is_number_integer());
  EXPECT_EQ(PortalStateMessage::decode(running.jsonString()), running);
  EXPECT_EQ(PortalStateMessage::decode(PortalStateMessage::noPortal().jsonString()),
            PortalStateMessage::noPortal());
  EXPECT_EQ(PortalStateMessage::decode(R"({"type":"state"})"), std::nullopt);
}

TEST(PortalStateMessage, StreamsOnlyWhileCapturingAKnownSize) {
  EXPECT_FALSE(PortalStateMessage::isStreaming(PortalCaptureState::capturing, {0, 0}));
  EXPECT_FALSE(PortalStateMessage::isStreaming(PortalCaptureState::capturing, {640, 0}));
  EXPECT_FALSE(PortalStateMessage::isStreaming(PortalCaptureState::starting, {640, 480}));
  EXPECT_TRUE(PortalStateMessage::isStreaming(PortalCaptureState::capturing, {640, 480}));
}

TEST(ViewerMessages, EncodingFailuresSendTheFixedFallbacks) {
  // A name that is not valid UTF-8 cannot be encoded as JSON.
  const PortalStateMessage state("id", std::string("bad\xFF"), PortalCaptureState::capturing,
                                 {10, 10}, true);
  EXPECT_EQ(
      state.jsonString(),
      R"({"type":"state","state":"error","statusText":"Capture error","sourceWidth":0,"sourceHeight":0,"streaming":false})");
  const PortalsListMessage list({{"id", std::string("bad\xC0"), "window"}}, std::nullopt);
  EXPECT_EQ(list.jsonString(), R"({"type":"portals","items":[]})");
}

TEST(PortalsListMessage, SerialisesItemsInOrderAndOmitsAnAbsentCurrentPortal) {
  const PortalsListMessage empty({}, std::nullopt);
  EXPECT_EQ(json::parse(empty.jsonString()), json::parse(R"({"type":"portals","items":[]})"));

  const PortalsListMessage two(
      {{"B", "Second", "window"}, {"A", "First \"quoted\"", "screenRegion"}}, "A");
  EXPECT_EQ(json::parse(two.jsonString()),
            json::parse(R"({"type":"portals","currentPortalId":"A","items":[
              {"id":"B","name":"Second","type":"window"},
              {"id":"A","name":"First \"quoted\"","type":"screenRegion"}]})"));
  EXPECT_EQ(PortalsListMessage::decode(two.jsonString()), two);
  EXPECT_EQ(PortalsListMessage::decode(empty.jsonString()), empty);
  EXPECT_EQ(PortalsListMessage::decode(R"({"type":"portals","items":[{"id":"A"}]})"), std::nullopt);
}

}  // namespace
}  // namespace tavelin
