#pragma once

#include <QWidget>
#include <map>

#include "TavelinKit/Foundation/Uuid.hpp"

class QVBoxLayout;
class QCheckBox;
class QLabel;

namespace tavelin {

class AppModel;

// The sections of the main window below the toolbar. Each shows what the model publishes and
// calls the model's operations; none keeps state beyond what is on screen. GUI thread.

// Warnings about why phones cannot connect, with what to do about them.
class BannerLane : public QWidget {
  Q_OBJECT
 public:
  explicit BannerLane(AppModel& model, QWidget* parent = nullptr);
  void refresh();

 private:
  AppModel& model_;
  QVBoxLayout* rows_;
};

// Phones waiting for the user's Allow, and whether new phones must wait at all.
class ApprovalsSection : public QWidget {
  Q_OBJECT
 public:
  explicit ApprovalsSection(AppModel& model, QWidget* parent = nullptr);
  void refresh();

 private:
  AppModel& model_;
  QWidget* pending_;
  QVBoxLayout* rows_;
  QCheckBox* requireApproval_;
};

// The portals: what can be shared, which one phones see first, and its state.
class PortalsSection : public QWidget {
  Q_OBJECT
 public:
  explicit PortalsSection(AppModel& model, QWidget* parent = nullptr);
  void rebuild();
  void refreshStates();

 private:
  AppModel& model_;
  QVBoxLayout* rows_;
};

// The paired phones, whether they are connected, and access to revoke.
class DevicesSection : public QWidget {
  Q_OBJECT
 public:
  explicit DevicesSection(AppModel& model, QWidget* parent = nullptr);
  void rebuild();
  void refreshStatus();

 private:
  AppModel& model_;
  QVBoxLayout* rows_;
  std::map<Uuid, QLabel*> status_;  // each row's "Connected · N frames" line
};

}  // namespace tavelin
