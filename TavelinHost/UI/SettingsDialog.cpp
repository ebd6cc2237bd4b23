#include "TavelinHost/UI/SettingsDialog.hpp"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QSystemTrayIcon>
#include <cmath>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

namespace {

// Selects the entry holding `value`; a value the list does not offer (set by hand or by an
// older version) is shown as it is rather than silently replaced.
void selectValue(QComboBox* box, double value, const QString& customText) {
  for (int i = 0; i < box->count(); ++i) {
    if (std::abs(box->itemData(i).toDouble() - value) < 1e-9) {
      box->setCurrentIndex(i);
      return;
    }
  }
  box->addItem(customText, value);
  box->setCurrentIndex(box->count() - 1);
}

}  // namespace

SettingsDialog::SettingsDialog(AppModel& model, QWidget* parent) : QDialog(parent), model_(model) {
  setWindowTitle(QStringLiteral("Settings"));
  setMinimumWidth(420);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  port_ = new QLineEdit(this);
  port_->setAccessibleName(QStringLiteral("Port"));
  port_->setInputMethodHints(Qt::ImhDigitsOnly);
  auto* portColumn = new QVBoxLayout;
  portColumn->addWidget(port_);
  portColumn->addWidget(
      ui::noteLabel(QStringLiteral("Restart Tavelin to apply a new port."), this));
  form->addRow(QStringLiteral("Port"), portColumn);

  frameRate_ = new QComboBox(this);
  frameRate_->setAccessibleName(QStringLiteral("Frame rate"));
  frameRate_->addItem(QStringLiteral("15 fps"), 15);
  frameRate_->addItem(QStringLiteral("30 fps"), 30);
  frameRate_->addItem(QStringLiteral("60 fps"), 60);
  form->addRow(QStringLiteral("Frame rate"), frameRate_);

  quality_ = new QComboBox(this);
  quality_->setAccessibleName(QStringLiteral("Quality"));
  quality_->addItem(QStringLiteral("Low"), 0.4);
  quality_->addItem(QStringLiteral("Balanced"), 0.6);
  quality_->addItem(QStringLiteral("High"), 0.8);
  form->addRow(QStringLiteral("Quality"), quality_);

  maxFrameSize_ = new QComboBox(this);
  maxFrameSize_->setAccessibleName(QStringLiteral("Max frame size"));
  maxFrameSize_->addItem(QStringLiteral("720p"), 1280);
  maxFrameSize_->addItem(QStringLiteral("1080p"), 1920);
  maxFrameSize_->addItem(QStringLiteral("1440p"), 2560);
  form->addRow(QStringLiteral("Max frame size"), maxFrameSize_);

  outline_ = new QCheckBox(QStringLiteral("Outline active screen regions"), this);
  form->addRow(QString(), outline_);
  shareClipboard_ =
      new QCheckBox(QStringLiteral("Send text copied on this computer to phones"), this);
  shareClipboard_->setToolTip(QStringLiteral(
      "Phones watching a portal receive whatever is copied here, and can copy it with one tap."));
  form->addRow(QString(), shareClipboard_);
  phonesChooseQuality_ =
      new QCheckBox(QStringLiteral("Let phones change the quality of the portal they watch"), this);
  phonesChooseQuality_->setToolTip(QStringLiteral(
      "A phone's choice of Low, Balanced or High holds for everyone watching that portal until "
      "Tavelin quits."));
  form->addRow(QString(), phonesChooseQuality_);
  withoutDialog_ = new QCheckBox(
      QStringLiteral("On GNOME, share without the desktop's dialog (from the next start)"), this);
  withoutDialog_->setToolTip(QStringLiteral(
      "Tavelin then uses GNOME's own screen cast and remote desktop, which ask nobody"));
  form->addRow(QString(), withoutDialog_);
  keepInTray_ = new QCheckBox(
      QStringLiteral("Keep Tavelin running in the tray when its window closes"), this);
  form->addRow(QString(), keepInTray_);
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    keepInTray_->setToolTip(
        QStringLiteral("This desktop shows no tray now, so closing the "
                       "window quits Tavelin"));
  }
  openAtLogin_ = new QCheckBox(QStringLiteral("Open at login"), this);
  openAtLogin_->setToolTip(
      QStringLiteral("Tavelin starts when you log in to this desktop (an autostart entry)"));
  form->addRow(QString(), openAtLogin_);
  // The setting is kept for desktops that can draw the border; this one says it cannot.
  if (!model_.desktop().placesOverlays()) form->addRow(QString(), ui::borderNotice(this));
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
  layout->addWidget(buttons);

  connect(port_, &QLineEdit::editingFinished, this, &SettingsDialog::applyPort);
  for (auto* box : {frameRate_, quality_, maxFrameSize_}) {
    connect(box, &QComboBox::currentIndexChanged, this, &SettingsDialog::store);
  }
  connect(outline_, &QCheckBox::toggled, this, &SettingsDialog::store);
  connect(shareClipboard_, &QCheckBox::toggled, this, &SettingsDialog::store);
  connect(phonesChooseQuality_, &QCheckBox::toggled, this, &SettingsDialog::store);
  connect(withoutDialog_, &QCheckBox::toggled, this, &SettingsDialog::store);
  connect(keepInTray_, &QCheckBox::toggled, this, &SettingsDialog::store);
  connect(openAtLogin_, &QCheckBox::toggled, this, [this](bool on) {
    if (loading_) return;
    model_.setOpenAtLogin(on);
    reload();  // what the folder holds now, also when writing failed
  });
  connect(&model_.settings(), &AppSettings::changed, this, &SettingsDialog::reload);
  reload();
}

SettingsDialog::~SettingsDialog() {
  // The port field still loses its focus, finishing its editing, as the dialog goes.
  port_->disconnect(this);
}

void SettingsDialog::reload() {
  loading_ = true;
  const HostSettings& settings = model_.settings().value();
  if (!port_->hasFocus()) port_->setText(QString::number(settings.port));
  selectValue(frameRate_, settings.targetFps, QString::number(settings.targetFps) + " fps");
  selectValue(quality_, settings.jpegQuality, QString::number(settings.jpegQuality, 'f', 2));
  selectValue(maxFrameSize_, settings.maxFrameDimension, frameSizeText(settings.maxFrameDimension));
  outline_->setChecked(settings.showRegionBorder);
  shareClipboard_->setChecked(settings.shareClipboard);
  phonesChooseQuality_->setChecked(settings.phonesChooseQuality);
  withoutDialog_->setChecked(settings.gnomeWithoutDialog);
  keepInTray_->setChecked(settings.keepRunningInTray);
  openAtLogin_->setChecked(model_.openAtLogin().isOn());
  loading_ = false;
}

QString SettingsDialog::frameSizeText(int maxFrameDimension) {
  // Not "1440 px" beside "1440p": the list's entries name heights, this one a longest side.
  if (maxFrameDimension <= 0) return QStringLiteral("Full size");
  const QString side = QStringLiteral("longest side %1 pixels").arg(maxFrameDimension);
  return maxFrameDimension == HostSettings{}.maxFrameDimension
             ? QStringLiteral("Default (") + side + QStringLiteral(")")
             : side.left(1).toUpper() + side.mid(1);
}

void SettingsDialog::applyPort() {
  bool ok = false;
  const long long entered = port_->text().trimmed().toLongLong(&ok);
  if (!ok) {
    port_->setText(QString::number(model_.settings().value().port));
    return;
  }
  port_->setText(QString::number(HostSettings::clampedPort(entered)));
  store();
}

void SettingsDialog::store() {
  if (loading_) return;
  HostSettings settings = model_.settings().value();
  bool ok = false;
  const long long port = port_->text().trimmed().toLongLong(&ok);
  if (ok) settings.port = HostSettings::clampedPort(port);
  settings.targetFps = frameRate_->currentData().toInt();
  settings.jpegQuality = quality_->currentData().toDouble();
  settings.maxFrameDimension = maxFrameSize_->currentData().toInt();
  settings.showRegionBorder = outline_->isChecked();
  settings.shareClipboard = shareClipboard_->isChecked();
  settings.phonesChooseQuality = phonesChooseQuality_->isChecked();
  settings.gnomeWithoutDialog = withoutDialog_->isChecked();
  settings.keepRunningInTray = keepInTray_->isChecked();
  model_.settings().update(settings);
}

}  // namespace tavelin
