#include <gtest/gtest.h>

#include <map>

#include "TavelinHost/Runtime/CommandLine.hpp"
#include "TavelinHost/Runtime/SharingCommands.hpp"

namespace tavelin {
namespace {

// A host whose state the test sets and whose answers it reads back.
class RecordingHost final : public SharingHost {
 public:
  void newPin() override { ++pins; }
  PendingPairingStore::Decision answer(const Uuid& request, bool allow) override {
    answered.emplace_back(request, allow);
    const auto found = decisions.find(request);
    return found == decisions.end() ? PendingPairingStore::Decision::unknown : found->second;
  }
  std::vector<PortalEntry> portalEntries() const override { return entries; }
  bool setShared(const Uuid& portal, bool shared) override {
    for (auto& entry : entries) {
      if (entry.portal.id == portal) {
        entry.portal.shared = shared;
        return true;
      }
    }
    return false;
  }
  void stopAllSharing() override { ++stopsAll; }

  int pins = 0;
  int stopsAll = 0;
  std::map<Uuid, PendingPairingStore::Decision> decisions;
  std::vector<std::pair<Uuid, bool>> answered;
  std::vector<PortalEntry> entries;
};

struct CommandLineTest : ::testing::Test {
  CommandLineTest() { addSharingCommands(commands, host); }

  // The lines one command printed.
  std::vector<std::string> ask(const std::string& line) {
    lines.clear();
    EXPECT_TRUE(commands.run(line)) << line;
    return lines;
  }

  static Portal portal(const std::string& name, bool shared) {
    Portal made{Uuid::random(), name, {}, ScreenRegionPortalData{{0, 0, 10, 10}, 0, false}};
    made.shared = shared;
    return made;
  }

  std::vector<std::string> lines;
  RecordingHost host;
  CommandLine commands{[this](const std::string& line) { lines.push_back(line); }};
};

TEST_F(CommandLineTest, EveryLineIsAnsweredOnceAndQuitEndsIt) {
  EXPECT_TRUE(ask("").empty());
  EXPECT_TRUE(ask("   \t ").empty());
  EXPECT_EQ(ask("bogus thing"),
            std::vector<std::string>{"ERROR unknown command: bogus thing (try: help)"});
  // A name printed back cannot break the protocol into two lines.
  EXPECT_EQ(ask("bogus\x1b[2Jx"), std::vector<std::string>{"ERROR unknown command: bogus[2Jx "
                                                           "(try: help)"});
  const auto help = ask("help");
  ASSERT_EQ(help.size(), 1u);
  EXPECT_EQ(help[0].rfind("OK commands: pin | allow <request id> | deny <request id> | ", 0), 0u);
  EXPECT_NE(help[0].find("stop <portal id> | stop all | help | quit"), std::string::npos);
  EXPECT_EQ(ask("pin"), std::vector<std::string>{"OK"});
  EXPECT_EQ(host.pins, 1);
  EXPECT_EQ(ask("pin now"), std::vector<std::string>{"ERROR usage: pin"});
  EXPECT_EQ(host.pins, 1);

  lines.clear();
  EXPECT_FALSE(commands.run("quit"));
  EXPECT_EQ(lines, std::vector<std::string>{"OK"});
}

TEST_F(CommandLineTest, AnswersSayWhetherTheRequestWaited) {
  const Uuid waiting = Uuid::random(), answered = Uuid::random();
  host.decisions[waiting] = PendingPairingStore::Decision::made;
  host.decisions[answered] = PendingPairingStore::Decision::alreadyMade;
  EXPECT_EQ(ask("allow " + waiting.string()), std::vector<std::string>{"OK"});
  EXPECT_EQ(
      ask("deny " + answered.string()),
      std::vector<std::string>{"ERROR request " + answered.string() + " was already answered"});
  EXPECT_EQ(ask("allow not-an-id"), std::vector<std::string>{"ERROR no waiting request not-an-id"});
  EXPECT_EQ(ask("deny"), std::vector<std::string>{"ERROR usage: deny <request id>"});
  // Only well-formed ids reach the host, with the verb's meaning.
  EXPECT_EQ(host.answered,
            (std::vector<std::pair<Uuid, bool>>{{waiting, true}, {answered, false}}));
}

TEST_F(CommandLineTest, PortalsAreListedWithTheirSharingAndStartedOrStoppedById) {
  host.entries = {{portal("Editor", true), true},
                  {portal("Terminal", true), false},
                  {portal("Notes\nmore", false), false}};
  const auto listed = ask("portals");
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[0], "OK portals 3");
  EXPECT_EQ(listed[1], "OK portal " + host.entries[0].portal.id.string() +
                           " screenRegion Editor (shared, active)");
  EXPECT_EQ(listed[2],
            "OK portal " + host.entries[1].portal.id.string() + " screenRegion Terminal (shared)");
  EXPECT_EQ(listed[3], "OK portal " + host.entries[2].portal.id.string() +
                           " screenRegion Notesmore (not shared)");

  EXPECT_EQ(ask("stop " + host.entries[1].portal.id.string()), std::vector<std::string>{"OK"});
  EXPECT_FALSE(host.entries[1].portal.shared);
  EXPECT_EQ(ask("start " + host.entries[2].portal.id.string()), std::vector<std::string>{"OK"});
  EXPECT_TRUE(host.entries[2].portal.shared);
  const std::string unknown = Uuid::random().string();
  EXPECT_EQ(ask("start " + unknown),
            std::vector<std::string>{"ERROR no portal " + unknown + " (see: portals)"});
  EXPECT_EQ(ask("start all"), std::vector<std::string>{"ERROR no portal all (see: portals)"});
  EXPECT_EQ(host.stopsAll, 0);
  EXPECT_EQ(ask("stop all"), std::vector<std::string>{"OK"});
  EXPECT_EQ(host.stopsAll, 1);
  EXPECT_EQ(ask("stop"), std::vector<std::string>{"ERROR usage: stop <portal id>"});
}

}  // namespace
}  // namespace tavelin
