#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace tavelin {

class AppModel;

// How a phone connects: the address and its QR code, copying and sharing the link, and the
// pairing PIN, hidden until the user asks for it. Lives on the GUI thread.
class ConnectionCard : public QWidget {
  Q_OBJECT
 public:
  explicit ConnectionCard(AppModel& model, QWidget* parent = nullptr);

  bool isPinRevealed() const { return pinRevealed_; }
  void setPinRevealed(bool revealed);
  // The link with a large QR code, ready to copy: the desktop has no share sheet for links.
  void shareLink();

 private:
  void refreshAddress();
  void refreshPin();

  AppModel& model_;
  bool pinRevealed_ = false;
  QLabel* qr_;
  QLabel* address_;
  QPushButton* copyLink_;
  QPushButton* shareLink_;
  QLabel* pin_;
  QLabel* pinNote_;
  QPushButton* reveal_;
};

}  // namespace tavelin
