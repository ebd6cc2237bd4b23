#include "TavelinHost/Runtime/SharingCommands.hpp"

#include "TavelinHost/Runtime/HostLines.hpp"

namespace tavelin {

void addSharingCommands(CommandLine& commands, SharingHost& host) {
  using Words = CommandLine::Words;
  using Reply = CommandLine::Reply;
  commands.add("pin", "pin", [&host](const Words& words, const Reply& reply) {
    if (words.size() != 1) return reply.error("usage: pin");
    host.newPin();
    reply.ok();
  });
  const auto answer = [&host](const Words& words, const Reply& reply) {
    const bool allow = words[0] == "allow";
    if (words.size() != 2) return reply.error("usage: " + words[0] + " <request id>");
    const auto id = Uuid::parse(words[1]);
    // Whether it waits is decided once, by the answer itself: a click in the window a moment
    // earlier makes this one a no-op that says so.
    switch (id ? host.answer(*id, allow) : PendingPairingStore::Decision::unknown) {
      case PendingPairingStore::Decision::made: return reply.ok();
      case PendingPairingStore::Decision::alreadyMade:
        return reply.error("request " + words[1] + " was already answered");
      case PendingPairingStore::Decision::unknown:
        return reply.error("no waiting request " + hostLines::printable(words[1]));
    }
  };
  commands.add("allow", "allow <request id>", answer);
  commands.add("deny", "deny <request id>", answer);
  commands.add("portals", "portals", [&host](const Words& words, const Reply& reply) {
    if (words.size() != 1) return reply.error("usage: portals");
    const auto entries = host.portalEntries();
    reply.ok("portals " + std::to_string(entries.size()));
    for (const auto& entry : entries) {
      reply.line(hostLines::portal(entry.portal, !entry.portal.shared ? "not shared"
                                                 : entry.active       ? "shared, active"
                                                                      : "shared"));
    }
  });
  const auto share = [&host](const Words& words, const Reply& reply) {
    const bool start = words[0] == "start";
    if (!start && words.size() == 2 && words[1] == "all") {
      host.stopAllSharing();
      return reply.ok();
    }
    if (words.size() != 2) return reply.error("usage: " + words[0] + " <portal id>");
    const auto id = Uuid::parse(words[1]);
    if (!id || !host.setShared(*id, start)) {
      return reply.error("no portal " + hostLines::printable(words[1]) + " (see: portals)");
    }
    reply.ok();
  };
  commands.add("start", "start <portal id>", share);
  commands.add("stop", "stop <portal id> | stop all", share);
}

}  // namespace tavelin
