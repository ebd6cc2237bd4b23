#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "TavelinHost/Runtime/HostSettings.hpp"
#include "TavelinKit/Foundation/DataFolder.hpp"

namespace tavelin {

// The user's settings: the main thread's copy for the window, and a copy the server's and the
// captures' threads read (replaced whole, under a lock, whenever the main thread's changes).
class AppSettings final : public QObject {
  Q_OBJECT
 public:
  explicit AppSettings(StoredFile file);

  const HostSettings& value() const { return value_; }
  // Stores and saves them at once (a failed save is logged and retried); a new port applies at
  // the next start.
  void update(const HostSettings& settings);
  bool requireApproval() const { return value_.requireApproval; }
  void setRequireApproval(bool required);
  // The settings as they are when called, from any thread; valid after this object is gone.
  std::function<HostSettings()> reader() const;

  struct Cell;

 Q_SIGNALS:
  void changed();

 private:
  const StoredFile file_;
  HostSettings value_;
  std::shared_ptr<Cell> shared_;
};

}  // namespace tavelin
