#include "TavelinHost/UI/MainSections.hpp"

#include <QBoxLayout>
#include <QCheckBox>
#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/Symbols.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

namespace {

QString qt(const std::string& utf8) { return QString::fromStdString(utf8); }

QLabel* boldLabel(const QString& text, QWidget* parent) {
  auto* label = ui::plainLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

QLabel* iconLabel(const QString& symbol, int size, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setPixmap(symbolIcon(symbol).pixmap(size, size));
  label->setAlignment(Qt::AlignTop);
  return label;
}

}  // namespace

// ---- Banners

BannerLane::BannerLane(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  rows_ = new QVBoxLayout(this);
  rows_->setContentsMargins(0, 0, 0, 0);
  connect(&model_, &AppModel::firewallVerdictChanged, this, &BannerLane::refresh);
  connect(&model_, &AppModel::reachableChanged, this, &BannerLane::refresh);
  connect(&model_, &AppModel::hasScreenRecordingChanged, this, &BannerLane::refresh);
  connect(&model_, &AppModel::hasAccessibilityChanged, this, &BannerLane::refresh);
  connect(&model_, &AppModel::unsavedFilesChanged, this, &BannerLane::refresh);
  refresh();
}

void BannerLane::refresh() {
  ui::clearLayout(rows_);
  const auto issues = model_.issues();
  setVisible(!issues.empty());
  for (const HostIssue& issue : issues) {
    auto* banner = ui::card(this);
    banner->setObjectName(QStringLiteral("BannerView"));
    banner->setAccessibleName(issue.title);
    // A tinted background marks the banner's tone without fixing colours for light or dark.
    QPalette palette = banner->palette();
    const QColor tint =
        issue.tone == HostIssue::Tone::error ? QColor(220, 53, 69) : QColor(230, 160, 20);
    QColor base = palette.color(QPalette::Base);
    base = QColor::fromRgbF(base.redF() * 0.85f + tint.redF() * 0.15f,
                            base.greenF() * 0.85f + tint.greenF() * 0.15f,
                            base.blueF() * 0.85f + tint.blueF() * 0.15f);
    palette.setColor(QPalette::Base, base);
    banner->setPalette(palette);
    auto* row = new QHBoxLayout(banner);
    row->addWidget(iconLabel(issue.symbolName, 24, banner));
    auto* texts = new QVBoxLayout;
    texts->addWidget(boldLabel(issue.title, banner));
    texts->addWidget(ui::plainLabel(issue.detail, banner));
    if (issue.command) {
      auto* command = ui::plainLabel(*issue.command, banner);
      command->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
      command->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
      command->setAccessibleName(QStringLiteral("Command"));
      texts->addWidget(command);
    }
    row->addLayout(texts, 1);
    auto* actions = new QVBoxLayout;
    // The desktop has no settings page to open for these; what the user can do is run the
    // command, so the banner's action copies it.
    if (issue.command) {
      auto* copy = new QPushButton(QStringLiteral("Copy Command"), banner);
      connect(copy, &QPushButton::clicked, this,
              [command = *issue.command] { QGuiApplication::clipboard()->setText(command); });
      actions->addWidget(copy);
    }
    actions->addStretch();
    row->addLayout(actions);
    rows_->addWidget(banner);
  }
}

// ---- Approvals

ApprovalsSection::ApprovalsSection(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  pending_ = new QWidget(this);
  auto* pendingLayout = new QVBoxLayout(pending_);
  pendingLayout->setContentsMargins(0, 0, 0, 0);
  pendingLayout->addWidget(ui::sectionHeading(QStringLiteral("person.badge.clock"),
                                              QStringLiteral("Approve connection"), pending_));
  auto* frame = ui::card(pending_);
  rows_ = new QVBoxLayout(frame);
  pendingLayout->addWidget(frame);
  layout->addWidget(pending_);
  requireApproval_ = new QCheckBox(QStringLiteral("Ask before allowing a new device"), this);
  layout->addWidget(requireApproval_);
  connect(requireApproval_, &QCheckBox::toggled, this,
          [this](bool on) { model_.setRequireApproval(on); });
  connect(&model_, &AppModel::pendingRequestsChanged, this, &ApprovalsSection::refresh);
  connect(&model_, &AppModel::settingsChanged, this, &ApprovalsSection::refresh);
  refresh();
}

void ApprovalsSection::refresh() {
  requireApproval_->setChecked(model_.requireApproval());
  ui::clearLayout(rows_);
  const auto requests = model_.pendingRequests();
  pending_->setVisible(!requests.empty());
  for (const PendingPairing& request : requests) {
    auto* row = new QHBoxLayout;
    const QString text = qt(request.deviceName) + QStringLiteral(" wants to connect");
    row->addWidget(ui::plainLabel(text, this), 1);
    auto* deny = new QPushButton(QStringLiteral("Deny"), this);
    auto* allow = new QPushButton(QStringLiteral("Allow"), this);
    deny->setAccessibleDescription(text);
    allow->setAccessibleDescription(text);
    allow->setDefault(true);
    connect(deny, &QPushButton::clicked, this, [this, id = request.id] { model_.deny(id); });
    connect(allow, &QPushButton::clicked, this, [this, id = request.id] { model_.approve(id); });
    row->addWidget(deny);
    row->addWidget(allow);
    rows_->addLayout(row);
  }
}

// ---- Portals

PortalsSection::PortalsSection(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(
      ui::sectionHeading(QStringLiteral("rectangle.dashed"), QStringLiteral("Portals"), this));
  auto* frame = ui::card(this);
  rows_ = new QVBoxLayout(frame);
  layout->addWidget(frame);
  connect(&model_, &AppModel::portalsChanged, this, &PortalsSection::rebuild);
  connect(&model_, &AppModel::activePortalIDChanged, this, &PortalsSection::refreshStates);
  connect(&model_, &AppModel::captureStateChanged, this, &PortalsSection::refreshStates);
  connect(&model_, &AppModel::portalStatesChanged, this, &PortalsSection::refreshStates);
  rebuild();
}

void PortalsSection::rebuild() {
  ui::clearLayout(rows_);
  const auto portals = model_.portals();
  if (portals.empty()) {
    auto* title = boldLabel(QStringLiteral("No portals yet"), this);
    title->setAlignment(Qt::AlignHCenter);
    rows_->addWidget(title);
    auto* explanation = ui::noteLabel(
        QStringLiteral("A portal shares exactly one thing \u2014 a region, a window, or part of a "
                       "window. Nothing else from your desktop is streamed."),
        this);
    explanation->setAlignment(Qt::AlignHCenter);
    rows_->addWidget(explanation);
    auto* create =
        new QPushButton(symbolIcon(QStringLiteral("plus")), QStringLiteral("Create Portal"), this);
    connect(create, &QPushButton::clicked, this, [this] {
      model_.setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
    });
    auto* centre = new QHBoxLayout;
    centre->addStretch();
    centre->addWidget(create);
    centre->addStretch();
    rows_->addLayout(centre);
    return;
  }
  bool first = true;
  for (const Portal& portal : portals) {
    if (!first) {
      auto* line = new QFrame(this);
      line->setFrameShape(QFrame::HLine);
      line->setFrameShadow(QFrame::Sunken);
      rows_->addWidget(line);
    }
    first = false;
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("PortalRow"));
    row->setProperty("portalID", QString::fromStdString(portal.id.string()));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 2, 0, 2);
    auto* texts = new QVBoxLayout;
    texts->addWidget(boldLabel(qt(portal.name), row));
    texts->addWidget(ui::noteLabel(qt(portal.summary()), row));
    auto* state = ui::noteLabel(QString(), row);
    state->setObjectName(QStringLiteral("state"));
    texts->addWidget(state);
    line->addLayout(texts, 1);

    auto* toggle = new QToolButton(row);
    toggle->setObjectName(QStringLiteral("toggle"));
    toggle->setAutoRaise(true);
    toggle->setIconSize({20, 20});
    connect(toggle, &QToolButton::clicked, this, [this, portal] { model_.toggle(portal); });
    line->addWidget(toggle);

    auto* more = ui::moreActionsButton(row, QStringLiteral("More actions for ") + qt(portal.name));
    QMenu* menu = more->menu();
    menu->addAction(QStringLiteral("Edit\u2026"), this, [this, portal] {
      model_.setSheet(SheetKind{SheetKind::Kind::edit, portal, false, {}});
    });
    menu->addAction(QStringLiteral("Delete"), this, [this, portal] {
      const bool yes = ui::confirm(
          window(), {QStringLiteral("Delete \u201C") + qt(portal.name) + QStringLiteral("\u201D?"),
                     QStringLiteral("Any phone currently viewing this portal is disconnected."),
                     QStringLiteral("Delete")});
      if (yes) model_.remove(portal);
    });
    line->addWidget(more);
    rows_->addWidget(row);
  }
  refreshStates();
}

void PortalsSection::refreshStates() {
  const auto portals = model_.portals();
  for (auto* row : findChildren<QWidget*>(QStringLiteral("PortalRow"))) {
    const auto id = Uuid::parse(row->property("portalID").toString().toStdString());
    const auto portal = std::find_if(portals.begin(), portals.end(),
                                     [&](const Portal& candidate) { return candidate.id == id; });
    if (portal == portals.end()) continue;
    if (auto* state = row->findChild<QLabel*>(QStringLiteral("state"))) {
      state->setText(model_.portalStateText(*portal));
    }
    if (auto* toggle = row->findChild<QToolButton*>(QStringLiteral("toggle"))) {
      toggle->setIcon(
          symbolIcon(portal->shared ? QStringLiteral("stop.fill") : QStringLiteral("play.fill")));
      const QString help = portal->shared ? QStringLiteral("Stop sharing this portal")
                                          : QStringLiteral("Start sharing this portal");
      toggle->setToolTip(help);
      toggle->setAccessibleName(help);
    }
  }
}

// ---- Devices

DevicesSection::DevicesSection(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(ui::sectionHeading(QStringLiteral("iphone"), QStringLiteral("Devices"), this));
  auto* frame = ui::card(this);
  rows_ = new QVBoxLayout(frame);
  layout->addWidget(frame);
  connect(&model_, &AppModel::devicesChanged, this, &DevicesSection::rebuild);
  connect(&model_, &AppModel::connectedDeviceIDsChanged, this, &DevicesSection::refreshStatus);
  connect(&model_, &AppModel::frameCountsChanged, this, &DevicesSection::refreshStatus);
  rebuild();
}

void DevicesSection::rebuild() {
  ui::clearLayout(rows_);
  status_.clear();
  const auto devices = model_.devices();
  if (devices.empty()) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(iconLabel(QStringLiteral("iphone.slash"), 20, this));
    row->addWidget(ui::noteLabel(QStringLiteral("No paired devices"), this));
    row->addStretch();
    rows_->addLayout(row);
    return;
  }
  for (const PairedDevice& device : devices) {
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("DeviceRow"));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 2, 0, 2);
    // The row itself opens the device's history.
    auto* open = new QPushButton(row);
    open->setFlat(true);
    open->setAccessibleName(qt(device.name));
    open->setAccessibleDescription(QStringLiteral("Show the device's history"));
    open->setCursor(Qt::PointingHandCursor);
    auto* texts = new QVBoxLayout(open);
    texts->setContentsMargins(6, 4, 6, 4);
    auto* name = boldLabel(qt(device.name), open);
    name->setAttribute(Qt::WA_TransparentForMouseEvents);
    texts->addWidget(name);
    auto* status = ui::plainLabel(QString(), open);
    status->setObjectName(QStringLiteral("status"));
    status->setAttribute(Qt::WA_TransparentForMouseEvents);
    texts->addWidget(status);
    status_[device.id] = status;
    for (const QString& note : {QStringLiteral("Last used ") + ui::dateText(device.lastSeenAt),
                                QStringLiteral("Added ") + ui::dateText(device.pairedAt)}) {
      auto* label = ui::noteLabel(note, open);
      label->setAttribute(Qt::WA_TransparentForMouseEvents);
      texts->addWidget(label);
    }
    open->setMinimumHeight(texts->sizeHint().height());
    open->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Minimum);
    connect(open, &QPushButton::clicked, this, [this, device] {
      model_.setSheet(SheetKind{SheetKind::Kind::deviceHistory, {}, false, device});
    });
    line->addWidget(open, 1);

    auto* more = ui::moreActionsButton(row);
    QMenu* menu = more->menu();
    menu->addAction(QStringLiteral("Revoke Access"), this, [this, device] {
      const bool yes = ui::confirm(
          window(),
          {QStringLiteral("Revoke access for \u201C") + qt(device.name) + QStringLiteral("\u201D?"),
           QStringLiteral("The device is disconnected and must pair again with a new PIN."),
           QStringLiteral("Revoke Access")});
      if (yes) model_.revoke(device.id);
    });
    line->addWidget(more, 0, Qt::AlignTop);
    rows_->addWidget(row);
  }
  refreshStatus();
}

void DevicesSection::refreshStatus() {
  const auto connected = model_.connectedDeviceIDs();
  const auto counts = model_.frameCounts();
  for (const auto& [id, label] : status_) {
    const bool isConnected = connected.count(id) > 0;
    label->setVisible(isConnected);
    if (!isConnected) continue;
    const auto count = counts.find(id);
    label->setText(QStringLiteral("Connected \u00B7 ") +
                   QString::number(count == counts.end() ? 0 : count->second) +
                   QStringLiteral(" frames"));
  }
}

}  // namespace tavelin
