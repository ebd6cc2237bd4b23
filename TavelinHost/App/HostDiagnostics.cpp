#include "TavelinHost/App/HostDiagnostics.hpp"

#include <QStringList>

#include "TavelinHost/App/AppEnvironment.hpp"
#include "TavelinHost/App/HostConnection.hpp"
#include "TavelinHost/Diagnostics/NetworkDiagnostics.hpp"
#include "TavelinKit/Dispatch/Executor.hpp"
#include "TavelinServer/NetworkAddresses.hpp"

namespace tavelin {

struct HostDiagnostics::Ports {
  std::shared_ptr<ScreenCaptureService> capture;
  ProcessRunner runProcess;
  std::shared_ptr<Executor> background;
};

// What one probe found, taken back to the main thread.
struct HostDiagnostics::Probe {
  std::string host;
  std::uint16_t port = 0;
  bool admitted = true;
  bool reachable = false;
  FirewallStatus::Finding finding;
};

namespace {

QString text(const std::string& utf8) { return QString::fromStdString(utf8); }

}  // namespace

HostDiagnostics::HostDiagnostics(const AppEnvironment& environment,
                                 std::shared_ptr<Executor> background,
                                 std::shared_ptr<DataFolder> folder,
                                 const HostConnection& connection,
                                 std::shared_ptr<Executor> mainExecutor, HostLogSink log)
    : ports_(std::make_unique<Ports>(
          Ports{environment.platform.capture, environment.runProcess, std::move(background)})),
      folder_(std::move(folder)),
      connection_(connection),
      mainExecutor_(std::move(mainExecutor)),
      log_(std::move(log)),
      firewallVerdict_(FirewallStatus::Verdict::unknown),
      canCapture_(ports_->capture && ports_->capture->preflightPermission()) {
  // Called on the thread whose save failed or succeeded; the look at the folder is posted to the
  // main thread, which drops it once the application model, and this object, are gone.
  folder_->onUnsavedChange = [main = mainExecutor_, this] {
    main->post([this] {
      auto unsaved = folder_->unsavedFiles();
      if (unsaved == unsavedFiles_) return;
      unsavedFiles_ = std::move(unsaved);
      Q_EMIT issuesChanged();
    });
  };
}

HostDiagnostics::~HostDiagnostics() { *alive_ = false; }

void HostDiagnostics::setErrorMessage(std::optional<QString> message) {
  if (errorMessage_ == message) return;
  errorMessage_ = std::move(message);
  Q_EMIT errorMessageChanged();
}

std::string HostDiagnostics::desktopAccessText() const {
  return std::string("Desktop access: screen capture ") + (canCapture_ ? "allowed" : "not allowed");
}

void HostDiagnostics::tick() {
  folder_->retryUnsaved();
  if (--countdown_ < 1) {
    countdown_ = ticksBetweenProbes;
    probe();
  }
  const bool capture = ports_->capture && ports_->capture->preflightPermission();
  if (capture != canCapture_) {
    canCapture_ = capture;
    log_("Host", std::string("Desktop access: screen capture ") +
                     (capture ? "allowed" : "no longer allowed"));
    Q_EMIT issuesChanged();
  }
}

void HostDiagnostics::probe() {
  if (!connection_.serverRunning()) return;
  Probe probe;
  probe.host = connection_.localAddress();
  probe.port = connection_.port();
  // The server admits phones from local networks only. An advertised address outside them
  // (a public or documentation address) means every phone would be refused, whatever the
  // firewall says, and the probe, coming from that address too, would be refused as well.
  std::error_code invalid;
  const auto address = asio::ip::make_address(probe.host, invalid);
  probe.admitted = invalid || NetworkAddresses::isLocalAddress(address);
  ports_->background->post([alive = std::weak_ptr<bool>(alive_), main = mainExecutor_,
                            run = ports_->runProcess, probe, this]() mutable {
    probe.reachable = probe.admitted && ReachabilityCheck::check(probe.host, probe.port, 3, run);
    probe.finding = probe.reachable
                        ? FirewallStatus::Finding{FirewallStatus::Verdict::reachable, {}, {}}
                    : !probe.admitted ? FirewallStatus::Finding{}
                                      : FirewallStatus::check(probe.port, run);
    if (alive.expired()) return;
    main->post([alive, probe, this] {
      if (!alive.expired()) apply(probe);
    });
  });
}

void HostDiagnostics::apply(const Probe& probe) {
  const auto previous = reachable_;
  const bool wasAdmitted = !addressRefused_;
  addressRefused_ = !probe.admitted;
  firewallFixCommand_ = probe.finding.fixCommand;
  firewallTool_ = probe.finding.tool;
  firewallVerdict_ = probe.finding.verdict;
  reachable_ = probe.reachable;
  if (previous != reachable_) Q_EMIT reachableChanged();
  Q_EMIT issuesChanged();
  if (previous == probe.reachable && wasAdmitted == probe.admitted) return;
  const std::string where = probe.host + ":" + std::to_string(probe.port);
  log_("Host", probe.reachable ? "Network: the host is reachable from the network at " + where
               : !probe.admitted
                   ? "Network error: phones would be refused - " + probe.host +
                         " is not on a local network, and the host admits phones only from "
                         "local networks (10.x, 172.16-31.x, 192.168.x)"
                   : "Network error: nothing on the LAN can reach " + where +
                         " - incoming connections are being dropped");
}

std::vector<HostIssue> HostDiagnostics::issues() const {
  std::vector<HostIssue> banners;
  using Verdict = FirewallStatus::Verdict;
  const QString title = QStringLiteral("Your phone cannot reach this computer");
  const QString command = text(firewallFixCommand_);
  const std::optional<QString> fix = command.isEmpty() ? std::nullopt : std::optional(command);
  const QString firewall =
      firewallTool_.empty() ? QStringLiteral("the firewall") : text(firewallTool_);
  if (firewallVerdict_ == Verdict::blocked || firewallVerdict_ == Verdict::notListed) {
    banners.push_back({HostIssue::Kind::firewall, title,
                       QStringLiteral("The server is running, but ") + firewall +
                           QStringLiteral(" is dropping incoming connections to it. Allow its "
                                          "port once with the command below and everything "
                                          "works."),
                       QStringLiteral("network-error"), HostIssue::Tone::error, fix});
  } else if (firewallVerdict_ == Verdict::blockAll) {
    banners.push_back({HostIssue::Kind::firewall, title,
                       firewall.left(1).toUpper() + firewall.mid(1) +
                           QStringLiteral(" is set to block all incoming connections. Allow the "
                                          "port with the command below to let your phone reach "
                                          "this computer."),
                       QStringLiteral("network-error"), HostIssue::Tone::error, fix});
  }
  if (addressRefused_) {
    banners.push_back(
        {HostIssue::Kind::address, QStringLiteral("Phones would be refused"),
         QStringLiteral("This computer's address, ") + text(connection_.localAddress()) +
             QStringLiteral(", is not on a local network, and Tavelin lets in "
                            "phones only from local networks (10.x, 172.16\u201331.x, "
                            "192.168.x). Join your home or office network."),
         QStringLiteral("network-error"), HostIssue::Tone::error, std::nullopt});
  }
  if (!unsavedFiles_.empty()) {
    QStringList names;
    for (const auto& name : unsavedFiles_) names << text(name);
    banners.push_back(
        {HostIssue::Kind::storage, QStringLiteral("Tavelin cannot save its files"),
         names.join(QStringLiteral(", ")) + QStringLiteral(" could not be written to ") +
             text(folder_->root().string()) +
             QStringLiteral(". The changes are kept and saved again every second; make room on "
                            "the disk or let Tavelin write to the folder."),
         QStringLiteral("disk"), HostIssue::Tone::error, std::nullopt});
  }
  // A desktop that can capture but does not allow it yet (an X server always allows it).
  if (!canCapture_ && ports_->capture && ports_->capture->isAvailable()) {
    banners.push_back({HostIssue::Kind::screenCapture,
                       QStringLiteral("The desktop does not let Tavelin capture the screen"),
                       QStringLiteral("Phones see the portal you choose only once the desktop "
                                      "allows screen capture; nothing is captured until you "
                                      "start a portal."),
                       QStringLiteral("screen-capture"), HostIssue::Tone::warning, std::nullopt});
  }
  return banners;
}

}  // namespace tavelin
