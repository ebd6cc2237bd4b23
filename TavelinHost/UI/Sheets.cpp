#include "TavelinHost/UI/Sheets.hpp"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <algorithm>
#include <cmath>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/ViewKit.hpp"
#include "TavelinHost/UI/WindowPicker.hpp"

namespace tavelin {

namespace {

QString qt(const std::string& utf8) { return QString::fromStdString(utf8); }

}  // namespace

// ---- Edit

EditPortalSheet::EditPortalSheet(AppModel& model, Portal portal, QWidget* parent)
    : QDialog(parent), model_(model), portal_(std::move(portal)) {
  setWindowTitle(QStringLiteral("Edit Portal"));
  setMinimumWidth(460);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  name_ = new QLineEdit(qt(portal_.name), this);
  name_->setAccessibleName(QStringLiteral("Name"));
  form->addRow(QStringLiteral("Name"), name_);
  layout->addLayout(form);
  layout->addWidget(ui::noteLabel(qt(portal_.summary()), this));

  QString retargetText;
  if (const auto* region = std::get_if<ScreenRegionPortalData>(&portal_.payload.value)) {
    option_ = new QCheckBox(QStringLiteral("Outline the region on the desktop"), this);
    option_->setChecked(region->showBorder);
    layout->addWidget(option_);
    layout->addWidget(ui::noteLabel(
        QStringLiteral("A thin frame marks what is shared. It never appears in the stream."),
        this));
    retargetText = QStringLiteral("Select Region Again\u2026");
  } else if (const auto* part = std::get_if<WindowRegionPortalData>(&portal_.payload.value)) {
    option_ = new QCheckBox(QStringLiteral("Keep pixel size when the window resizes"), this);
    option_->setChecked(part->resizeBehavior == RegionResizeBehavior::keepPixelSize);
    layout->addWidget(option_);
    layout->addWidget(
        ui::noteLabel(QStringLiteral("Off: the region scales with the window (default)."), this));
    retargetText = QStringLiteral("Change Window and Region\u2026");
  } else {
    retargetText = QStringLiteral("Change Target Window\u2026");
  }
  auto* retarget = new QPushButton(retargetText, this);
  auto* retargetRow = new QHBoxLayout;
  retargetRow->addWidget(retarget);
  retargetRow->addStretch();
  layout->addLayout(retargetRow);
  layout->addStretch();

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel | QDialogButtonBox::Save, this);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &EditPortalSheet::save);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(retarget, &QPushButton::clicked, this, [this] {
    // The edit sheet makes way for the target choice, which opens its own sheet or overlay.
    const Portal target = portal_;
    AppModel& owner = model_;
    reject();
    owner.changeTarget(target);
  });
}

Portal EditPortalSheet::edited() const {
  Portal portal = portal_;
  const QString name = name_->text().trimmed();
  if (!name.isEmpty()) portal.name = name.toStdString();
  if (auto* region = std::get_if<ScreenRegionPortalData>(&portal.payload.value)) {
    region->showBorder = option_->isChecked();
  } else if (auto* part = std::get_if<WindowRegionPortalData>(&portal.payload.value)) {
    part->resizeBehavior = option_->isChecked() ? RegionResizeBehavior::keepPixelSize
                                                : RegionResizeBehavior::scaleWithWindow;
  }
  return portal;
}

void EditPortalSheet::save() {
  const Portal portal = edited();
  if (!(portal == portal_)) model_.update(portal);
  accept();
}

// ---- Device history

DeviceHistorySheet::DeviceHistorySheet(AppModel& model, PairedDevice device, QWidget* parent)
    : QDialog(parent), model_(model), device_(std::move(device)) {
  setWindowTitle(qt(device_.name));
  resize(440, 480);
  auto* layout = new QVBoxLayout(this);
  auto* title = ui::plainLabel(qt(device_.name), this);
  QFont bold = title->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.2);
  title->setFont(bold);
  layout->addWidget(title);
  auto* facts = new QFormLayout;
  facts->addRow(QStringLiteral("Added"), ui::plainLabel(ui::dateText(device_.pairedAt), this));
  facts->addRow(QStringLiteral("Last used"),
                ui::plainLabel(ui::dateText(device_.lastSeenAt), this));
  connections_ = ui::plainLabel(QString(), this);
  facts->addRow(QStringLiteral("Connections"), connections_);
  layout->addLayout(facts);
  timeline_ = new QListWidget(this);
  timeline_->setAccessibleName(QStringLiteral("Timeline"));
  timeline_->setSelectionMode(QAbstractItemView::NoSelection);
  layout->addWidget(timeline_, 1);
  empty_ = ui::noteLabel(QStringLiteral("Connections and disconnections will appear here."), this);
  empty_->setAlignment(Qt::AlignCenter);
  layout->addWidget(empty_);
  auto* buttons = new QHBoxLayout;
  auto* clear = new QPushButton(QStringLiteral("Clear History"), this);
  auto* done = new QPushButton(QStringLiteral("Done"), this);
  done->setDefault(true);
  buttons->addWidget(clear);
  buttons->addStretch();
  buttons->addWidget(done);
  layout->addLayout(buttons);
  connect(done, &QPushButton::clicked, this, &QDialog::accept);
  connect(clear, &QPushButton::clicked, this, [this] {
    const bool yes = ui::confirm(
        this,
        {QStringLiteral("Clear history for \u201C") + qt(device_.name) + QStringLiteral("\u201D?"),
         QStringLiteral("The device stays paired; only its recorded activity is removed."),
         QStringLiteral("Clear History")});
    if (yes) model_.clearHistory(device_.id);
  });
  connect(&model_, &AppModel::deviceHistoryVersionChanged, this, &DeviceHistorySheet::reload);
  reload();
}

void DeviceHistorySheet::reload() {
  auto events = model_.history(device_.id);
  std::size_t connections = 0;
  for (const auto& event : events) {
    connections += event.kind == DeviceEvent::Kind::connected ? 1 : 0;
  }
  connections_->setText(QString::number(connections));
  timeline_->clear();
  std::reverse(events.begin(), events.end());
  for (const auto& event : events) {
    QString what;
    switch (event.kind) {
      case DeviceEvent::Kind::paired: what = QStringLiteral("Paired"); break;
      case DeviceEvent::Kind::connected: what = QStringLiteral("Connected"); break;
      case DeviceEvent::Kind::disconnected: what = QStringLiteral("Disconnected"); break;
    }
    timeline_->addItem(what + QStringLiteral(" \u00B7 ") + ui::dateText(event.at));
  }
  timeline_->setVisible(!events.empty());
  empty_->setVisible(events.empty());
}

// ---- Move window

MoveWindowSheet::MoveWindowSheet(AppModel& model, bool toVirtual, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(toVirtual ? QStringLiteral("Move Window") : QStringLiteral("Bring Back Window"));
  resize(520, 420);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(ui::plainLabel(
      toVirtual ? QStringLiteral("Pick the window to move onto the virtual display.")
                : QStringLiteral("Pick the window to bring back to your main screen."),
      this));
  picker_ = new WindowPicker(model, this);
  layout->addWidget(picker_, 1);
  auto* buttons = new QHBoxLayout;
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  auto* move =
      new QPushButton(toVirtual ? QStringLiteral("Move") : QStringLiteral("Bring Back"), this);
  move->setDefault(true);
  buttons->addStretch();
  buttons->addWidget(cancel);
  buttons->addWidget(move);
  layout->addLayout(buttons);
  auto moveWindow = [this, model = &model, toVirtual](const WindowInfo& window) {
    model->moveWindow(window, toVirtual);
    accept();
  };
  connect(picker_, &WindowPicker::chosen, this, moveWindow);
  connect(move, &QPushButton::clicked, this, [this, moveWindow] {
    if (const auto window = picker_->selected()) moveWindow(*window);
  });
  connect(picker_, &WindowPicker::selectionChanged, this,
          [this, move] { move->setEnabled(picker_->selected().has_value()); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

// ---- Settings

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
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
  layout->addWidget(buttons);

  connect(port_, &QLineEdit::editingFinished, this, &SettingsDialog::applyPort);
  for (auto* box : {frameRate_, quality_, maxFrameSize_}) {
    connect(box, &QComboBox::currentIndexChanged, this, &SettingsDialog::store);
  }
  connect(outline_, &QCheckBox::toggled, this, &SettingsDialog::store);
  connect(&model_, &AppModel::settingsChanged, this, &SettingsDialog::reload);
  reload();
}

void SettingsDialog::reload() {
  loading_ = true;
  const HostSettings& settings = model_.settings();
  if (!port_->hasFocus()) port_->setText(QString::number(settings.port));
  selectValue(frameRate_, settings.targetFps, QString::number(settings.targetFps) + " fps");
  selectValue(quality_, settings.jpegQuality, QString::number(settings.jpegQuality, 'f', 2));
  selectValue(maxFrameSize_, settings.maxFrameDimension,
              QString::number(settings.maxFrameDimension) + " px");
  outline_->setChecked(settings.showRegionBorder);
  loading_ = false;
}

void SettingsDialog::applyPort() {
  bool ok = false;
  const long long entered = port_->text().trimmed().toLongLong(&ok);
  if (!ok) {
    port_->setText(QString::number(model_.settings().port));
    return;
  }
  port_->setText(QString::number(HostSettings::clampedPort(entered)));
  store();
}

void SettingsDialog::store() {
  if (loading_) return;
  HostSettings settings = model_.settings();
  bool ok = false;
  const long long port = port_->text().trimmed().toLongLong(&ok);
  if (ok) settings.port = HostSettings::clampedPort(port);
  settings.targetFps = frameRate_->currentData().toInt();
  settings.jpegQuality = quality_->currentData().toDouble();
  settings.maxFrameDimension = maxFrameSize_->currentData().toInt();
  settings.showRegionBorder = outline_->isChecked();
  model_.updateSettings(settings);
}

}  // namespace tavelin
