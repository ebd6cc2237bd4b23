#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <memory>

namespace tavelin::testing {

// Answers the next question a view asks with a modal message box: remembers what it said and
// presses the button with the given text. Use it before the action that asks.
class DialogAnswerer {
 public:
  struct Seen {
    QString title;
    QString message;
    QStringList buttons;
    bool answered = false;
  };

  explicit DialogAnswerer(QString press) : seen_(std::make_shared<Seen>()) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer,
                     [timer, tries, seen = seen_, press = std::move(press)] {
                       auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                       if (box == nullptr) {
                         if (++*tries > 300) timer->deleteLater();
                         return;
                       }
                       seen->title = box->text();
                       seen->message = box->informativeText();
                       for (QAbstractButton* button : box->buttons()) {
                         seen->buttons << button->text();
                         if (button->text() == press && !seen->answered) {
                           seen->answered = true;
                           button->click();
                         }
                       }
                       timer->deleteLater();
                     });
    timer->start();
  }

  const Seen& seen() const { return *seen_; }

 private:
  std::shared_ptr<Seen> seen_;
};

}  // namespace tavelin::testing
