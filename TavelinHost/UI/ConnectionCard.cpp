#include "TavelinHost/UI/ConnectionCard.hpp"

#include <QApplication>
#include <QBoxLayout>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/App/QrCode.hpp"
#include "TavelinHost/UI/PinFormatter.hpp"
#include "TavelinHost/UI/Symbols.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

namespace {

// The QR code at `side` device-independent pixels, sharp on any screen scale.
QPixmap qrPixmap(const QImage& image, int side, qreal ratio) {
  if (image.isNull()) return {};
  const int pixels = static_cast<int>(side * ratio);
  QPixmap pixmap =
      QPixmap::fromImage(image.scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::FastTransformation));
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
}

}  // namespace

ConnectionCard::ConnectionCard(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(12, 12, 12, 12);
  layout->setSpacing(18);

  auto* codeColumn = new QVBoxLayout;
  qr_ = new QLabel(this);
  qr_->setFixedSize(168, 168);
  qr_->setAlignment(Qt::AlignCenter);
  qr_->setAccessibleName(QStringLiteral("QR code for the connection address"));
  codeColumn->addWidget(qr_);
  auto* caption = ui::noteLabel(QStringLiteral("Scan to open"), this);
  caption->setAlignment(Qt::AlignHCenter);
  codeColumn->addWidget(caption);
  codeColumn->addStretch();
  layout->addLayout(codeColumn);

  auto* details = new QVBoxLayout;
  details->setSpacing(6);
  auto* open = ui::plainLabel(QStringLiteral("Open on your phone"), this);
  QFont strong = open->font();
  strong.setBold(true);
  open->setFont(strong);
  details->addWidget(open);
  address_ = ui::plainLabel(QString(), this);
  QFont large = address_->font();
  large.setPointSizeF(large.pointSizeF() * 1.3);
  address_->setFont(large);
  address_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  address_->setAccessibleName(QStringLiteral("Connection address"));
  details->addWidget(address_);
  auto* linkButtons = new QHBoxLayout;
  copyLink_ =
      new QPushButton(symbolIcon(QStringLiteral("copy")), QStringLiteral("Copy link"), this);
  shareLink_ =
      new QPushButton(symbolIcon(QStringLiteral("share")), QStringLiteral("Share link"), this);
  linkButtons->addWidget(copyLink_);
  linkButtons->addWidget(shareLink_);
  linkButtons->addStretch();
  details->addLayout(linkButtons);

  auto* pinTitle = ui::plainLabel(QStringLiteral("Pairing PIN"), this);
  pinTitle->setFont(strong);
  details->addSpacing(8);
  details->addWidget(pinTitle);
  pin_ = ui::plainLabel(QString(), this);
  QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  digits.setPointSizeF(large.pointSizeF() * 1.5);
  digits.setBold(true);
  pin_->setFont(digits);
  details->addWidget(pin_);
  pinNote_ = ui::noteLabel(QStringLiteral("Hidden so nobody can read it over your shoulder. "
                                          "Reveal it only when you are alone."),
                           this);
  details->addWidget(pinNote_);
  details->addWidget(ui::noteLabel(
      QStringLiteral("Needed once per device \u2014 it changes after every successful pairing."),
      this));
  auto* pinButtons = new QHBoxLayout;
  reveal_ = new QPushButton(this);
  auto* newPin = new QPushButton(QStringLiteral("Generate a new PIN"), this);
  pinButtons->addWidget(reveal_);
  pinButtons->addWidget(newPin);
  pinButtons->addStretch();
  details->addLayout(pinButtons);

  details->addSpacing(8);
  details->addWidget(ui::noteLabel(
      QStringLiteral("Scan the code or open the address on your phone, then enter the PIN."),
      this));
  details->addWidget(ui::noteLabel(
      QStringLiteral("Anyone on this network can open the address, but only a device that pairs "
                     "with the PIN can see or control a portal."),
      this));
  details->addStretch();
  layout->addLayout(details, 1);

  connect(copyLink_, &QPushButton::clicked, this, [this] { model_.connection().copyLink(); });
  connect(shareLink_, &QPushButton::clicked, this, &ConnectionCard::shareLink);
  connect(reveal_, &QPushButton::clicked, this, [this] { setPinRevealed(!pinRevealed_); });
  connect(newPin, &QPushButton::clicked, this, [this] { model_.phones().newPin(); });
  connect(&model_.connection(), &HostConnection::connectionURLChanged, this,
          &ConnectionCard::refreshAddress);
  connect(&model_.connection(), &HostConnection::qrImageChanged, this,
          &ConnectionCard::refreshAddress);
  connect(&model_.connection(), &HostConnection::serverRunningChanged, this,
          &ConnectionCard::refreshAddress);
  connect(&model_.phones(), &Phones::pinChanged, this, &ConnectionCard::refreshPin);
  refreshAddress();
  refreshPin();
}

void ConnectionCard::setPinRevealed(bool revealed) {
  pinRevealed_ = revealed;
  refreshPin();
}

void ConnectionCard::refreshAddress() {
  address_->setText(model_.connection().connectionURL());
  const QImage image = model_.connection().qrImage();
  qr_->setPixmap(qrPixmap(image, qr_->width(), devicePixelRatioF()));
  const bool canShare = model_.connection().canShare();
  copyLink_->setEnabled(canShare);
  shareLink_->setEnabled(canShare);
}

void ConnectionCard::refreshPin() {
  pinNote_->setVisible(!pinRevealed_);
  if (pinRevealed_) {
    pin_->setText(PinFormatter::grouped(model_.phones().pin()));
    pin_->setAccessibleName(PinFormatter::spelledOut(model_.phones().pin()));
    reveal_->setText(QStringLiteral("Hide the PIN"));
  } else {
    pin_->setText(QStringLiteral("\u2022\u2022\u2022 \u2022\u2022\u2022"));
    pin_->setAccessibleName(QStringLiteral("Pairing PIN hidden"));
    reveal_->setText(QStringLiteral("Show the PIN (make sure nobody is watching)"));
  }
}

void ConnectionCard::shareLink() {
  if (!model_.connection().canShare()) return;
  auto* dialog = new QDialog(window());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(QStringLiteral("Share link"));
  auto* layout = new QVBoxLayout(dialog);
  auto* code = new QLabel(dialog);
  code->setAlignment(Qt::AlignCenter);
  code->setAccessibleName(QStringLiteral("QR code for the connection address"));
  code->setPixmap(qrPixmap(model_.connection().qrImage(), 360, dialog->devicePixelRatioF()));
  layout->addWidget(code);
  auto* address = ui::plainLabel(model_.connection().connectionURL(), dialog);
  address->setAlignment(Qt::AlignCenter);
  address->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  layout->addWidget(address);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
  auto* copyLink = buttons->addButton(QStringLiteral("Copy link"), QDialogButtonBox::ActionRole);
  auto* copyCode = buttons->addButton(QStringLiteral("Copy QR code"), QDialogButtonBox::ActionRole);
  connect(copyLink, &QPushButton::clicked, dialog, [this] { model_.connection().copyLink(); });
  connect(copyCode, &QPushButton::clicked, dialog, [this] {
    QGuiApplication::clipboard()->setImage(makeQrImage(model_.connection().connectionURL(), 12));
  });
  connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
  layout->addWidget(buttons);
  dialog->open();
}

}  // namespace tavelin
