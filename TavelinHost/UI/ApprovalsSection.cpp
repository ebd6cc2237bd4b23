#include "TavelinHost/UI/ApprovalsSection.hpp"

#include <QBoxLayout>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

ApprovalsSection::ApprovalsSection(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  pending_ = new QWidget(this);
  auto* pendingLayout = new QVBoxLayout(pending_);
  pendingLayout->setContentsMargins(0, 0, 0, 0);
  pendingLayout->addWidget(ui::sectionHeading(QStringLiteral("person-clock"),
                                              QStringLiteral("Approve connection"), pending_));
  auto* frame = ui::card(pending_);
  rows_ = new QVBoxLayout(frame);
  pendingLayout->addWidget(frame);
  layout->addWidget(pending_);
  requireApproval_ = new QCheckBox(QStringLiteral("Ask before allowing a new device"), this);
  layout->addWidget(requireApproval_);
  connect(requireApproval_, &QCheckBox::toggled, this,
          [this](bool on) { model_.settings().setRequireApproval(on); });
  connect(&model_.phones(), &Phones::pendingRequestsChanged, this, &ApprovalsSection::refresh);
  connect(&model_.settings(), &AppSettings::changed, this, &ApprovalsSection::refresh);
  refresh();
}

void ApprovalsSection::refresh() {
  requireApproval_->setChecked(model_.settings().requireApproval());
  ui::clearLayout(rows_);
  const auto requests = model_.phones().pendingRequests();
  pending_->setVisible(!requests.empty());
  for (const PendingPairing& request : requests) {
    auto* row = new QHBoxLayout;
    const QString text = ui::qt(request.deviceName) + QStringLiteral(" wants to connect");
    row->addWidget(ui::plainLabel(text, this), 1);
    auto* deny = new QPushButton(QStringLiteral("Deny"), this);
    auto* allow = new QPushButton(QStringLiteral("Allow"), this);
    deny->setAccessibleDescription(text);
    allow->setAccessibleDescription(text);
    allow->setDefault(true);
    connect(deny, &QPushButton::clicked, this,
            [this, id = request.id] { model_.phones().deny(id); });
    connect(allow, &QPushButton::clicked, this,
            [this, id = request.id] { model_.phones().approve(id); });
    row->addWidget(deny);
    row->addWidget(allow);
    rows_->addLayout(row);
  }
}

}  // namespace tavelin
