#include "TavelinHost/UI/MoveWindowSheet.hpp"

#include <QBoxLayout>
#include <QPushButton>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/ViewKit.hpp"
#include "TavelinHost/UI/WindowPicker.hpp"

namespace tavelin {

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
    model->desktop().moveWindow(window, toVirtual);
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

}  // namespace tavelin
