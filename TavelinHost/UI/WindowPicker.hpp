#pragma once

#include <QString>
#include <QWidget>
#include <vector>

#include "TavelinKit/Model/WindowInfo.hpp"

class QLineEdit;
class QListWidget;
class QLabel;

namespace tavelin {

class AppModel;

// Whether a window matches what the user typed: the query is found in its title or its
// application's name, ignoring case. An empty query matches everything.
bool windowMatches(const WindowInfo& window, const QString& query);

// The windows a portal can share, with a search field: listing happens off the GUI thread and
// the list says so meanwhile. Emits `chosen` on a double click or Enter.
class WindowPicker : public QWidget {
  Q_OBJECT
 public:
  explicit WindowPicker(AppModel& model, QWidget* parent = nullptr);

  void refresh();
  // The windows shown now (after the filter).
  std::vector<WindowInfo> shown() const { return shown_; }
  QString statusText() const;
  void setQuery(const QString& query);
  // The window selected in the list, if any.
  std::optional<WindowInfo> selected() const;

 Q_SIGNALS:
  void chosen(const tavelin::WindowInfo& window);
  void selectionChanged();

 private:
  void applyFilter();

  AppModel& model_;
  QLineEdit* search_;
  QListWidget* list_;
  QLabel* status_;
  bool loading_ = false;
  QString desktopNote_;  // what the desktop's own window chooser is doing or did
  int generation_ = 0;   // answers to an older refresh are dropped
  std::vector<WindowInfo> windows_;
  std::vector<WindowInfo> shown_;
};

}  // namespace tavelin
