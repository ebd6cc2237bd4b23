#pragma once

#include <QWidget>

class QVBoxLayout;

namespace tavelin {

class AppModel;

// Warnings about why phones cannot connect, with what to do about them.
// A main window section: shows what the model publishes and keeps nothing else. GUI thread.
class BannerLane : public QWidget {
  Q_OBJECT
 public:
  explicit BannerLane(AppModel& model, QWidget* parent = nullptr);
  void refresh();

 private:
  AppModel& model_;
  QVBoxLayout* rows_;
};

}  // namespace tavelin
