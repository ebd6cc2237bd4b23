#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QWidget>

#include "tests/support/ModelHarness.hpp"

namespace tavelin::testing {

// Widgets by what they show, the way a user finds them.
template <typename Widget = QAbstractButton>
Widget* withText(const QWidget* root, const QString& text) {
  for (Widget* widget : root->findChildren<Widget*>()) {
    if (widget->text() == text) return widget;
  }
  return nullptr;
}

inline QLabel* label(const QWidget* root, const QString& text) {
  return withText<QLabel>(root, text);
}
inline QAbstractButton* button(const QWidget* root, const QString& text) {
  return withText<QAbstractButton>(root, text);
}
// Whether a label or button with exactly this text is on screen in `root`.
inline bool showing(const QWidget* root, const QString& text) {
  QWidget* widget = label(root, text);
  if (widget == nullptr) widget = button(root, text);
  return widget != nullptr && widget->isVisibleTo(root->window());
}

// How often the activity log has this very message.
inline int timesLogged(AppModel& model, const std::string& message) {
  int count = 0;
  for (const auto& entry : model.activity().lines()) count += entry.message == message ? 1 : 0;
  return count;
}

// Waits (running the event loop) until the log has a message that `matches`; the log is
// written on a queue of its own.
template <typename Matches>
bool loggedSoonMatching(AppModel& model, Matches matches) {
  return eventually([&] {
    QCoreApplication::processEvents();
    for (const auto& entry : model.activity().lines()) {
      if (matches(entry.message)) return true;
    }
    return false;
  });
}
inline bool loggedSoon(AppModel& model, const std::string& message) {
  return loggedSoonMatching(model, [&](const std::string& line) { return line == message; });
}

// A drag with the left button from `from` to `to`, in the widget's coordinates, passing through
// the middle.
inline void drag(QWidget* widget, QPoint from, QPoint to) {
  QTest::mousePress(widget, Qt::LeftButton, {}, from);
  QTest::mouseMove(widget, (from + to) / 2);
  QTest::mouseMove(widget, to);
  QTest::mouseRelease(widget, Qt::LeftButton, {}, to);
}

// Windows of other applications the pickers offer.
inline void addSampleWindows(FakeCaptureService& capture) {
  const ShareableApplication mail{"Mail", "org.example.Mail", 4100};
  const ShareableApplication terminal{"Terminal", "org.example.Terminal", 4200};
  const ShareableApplication editor{"Text Editor", "org.example.Editor", 4300};
  capture.content->displays = {{1, {0, 0, 1920, 1080}}};
  capture.content->windows = {
      {0x400001, "Inbox \u2014 3 unread", {100, 80, 900, 640}, 0, true, mail},
      {0x500001, "build \u2014 make test", {300, 200, 800, 500}, 0, true, terminal},
      {0x600001, "notes.txt", {600, 120, 700, 700}, 0, true, editor},
  };
  capture.content->applications = {mail, terminal, editor};
}

}  // namespace tavelin::testing
