#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TavelinHost/App/HostIssue.hpp"
#include "TavelinKit/Foundation/DataFolder.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

namespace tavelin {

namespace FirewallStatus {
enum class Verdict;
}

class Executor;
class HostConnection;
struct AppEnvironment;

// Why phones may not reach or see the host, and the banners that say so: whether the host
// answers on its own address, what the firewall does with its port, whether its address is one
// phones are let in from, whether its files can be saved, whether the desktop lets it capture;
// and the last error of something the user asked for.
class HostDiagnostics final : public QObject {
  Q_OBJECT
 public:
  static constexpr int ticksBetweenProbes = 10;

  // `background` runs the probes.
  HostDiagnostics(const AppEnvironment& environment, std::shared_ptr<Executor> background,
                  std::shared_ptr<DataFolder> folder, const HostConnection& connection,
                  std::shared_ptr<Executor> mainExecutor, HostLogSink log);
  ~HostDiagnostics() override;

  std::vector<HostIssue> issues() const;
  // Nothing until the first probe has answered.
  std::optional<bool> reachable() const { return reachable_; }
  FirewallStatus::Verdict firewallVerdict() const { return firewallVerdict_; }
  bool canCapture() const { return canCapture_; }
  std::vector<std::string> unsavedFiles() const { return unsavedFiles_; }
  std::optional<QString> errorMessage() const { return errorMessage_; }
  void setErrorMessage(std::optional<QString> message);

  // Probes now, off the main thread; the answer comes back to it.
  void probe();
  // The once-a-second care: failed saves are written again, the probe runs every tenth time,
  // what the desktop allows is looked at again.
  void tick();
  // One line saying what the desktop allows, for the log at start.
  std::string desktopAccessText() const;

  struct Probe;

 Q_SIGNALS:
  // Anything a banner shows changed.
  void issuesChanged();
  void reachableChanged();
  void errorMessageChanged();

 private:
  void apply(const Probe& probe);

  struct Ports;
  const std::unique_ptr<Ports> ports_;
  const std::shared_ptr<DataFolder> folder_;
  const HostConnection& connection_;
  const std::shared_ptr<Executor> mainExecutor_;
  const HostLogSink log_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  int countdown_ = 0;
  std::optional<bool> reachable_;
  bool addressRefused_ = false;  // the advertised address is one the server does not admit
  FirewallStatus::Verdict firewallVerdict_;
  std::string firewallFixCommand_;
  std::string firewallTool_;
  bool canCapture_ = false;
  std::vector<std::string> unsavedFiles_;
  std::optional<QString> errorMessage_;
};

}  // namespace tavelin
