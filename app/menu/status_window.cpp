#include "app/menu/status_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFont>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <chrono>

#include "app/menu/status_panel.h"
#include "app/menu/tray_menu.h"

namespace vantle::app {

StatusWindow::StatusWindow(Handler handler, QMenu& menu) : QWidget(nullptr, Qt::Window), handler_(std::move(handler)) {
  setWindowTitle("Orvane Live Agent");
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  icon_ = new QLabel;
  top->addWidget(icon_, 0, Qt::AlignTop);
  auto* count = new QLabel;
  count->setObjectName("count");
  QFont large = count->font();
  large.setPointSizeF(large.pointSizeF() * 3);
  large.setBold(true);
  count->setFont(large);
  lines_["count"] = count;
  top->addWidget(count, 1);
  layout->addLayout(top);

  QLabel* status = line("status", *layout);
  QFont bold = status->font();
  bold.setBold(true);
  status->setFont(bold);
  for (const char* name : {"remedy", "error", "folder", "clock", "totals", "companions", "code"}) line(name, *layout);

  controls_ = new QWidget;
  controlsLayout_ = new QGridLayout(controls_);
  controlsLayout_->setContentsMargins(0, 8, 0, 0);
  layout->addWidget(controls_);
  auto* more = new QPushButton("More");
  more->setObjectName("menu");
  more->setMenu(&menu);
  layout->addWidget(more, 0, Qt::AlignRight);

  tick_.setInterval(1000);
  QObject::connect(&tick_, &QTimer::timeout, this, [this] { render(); });
  tick_.start();
  setMinimumWidth(380);
}

QLabel* StatusWindow::line(const char* name, QVBoxLayout& layout) {
  auto* label = new QLabel;
  label->setObjectName(name);
  label->setWordWrap(true);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout.addWidget(label);
  lines_[name] = label;
  return label;
}

void StatusWindow::show(const MenuModel& model, const agent::AgentController::State& state) {
  state_ = state;
  icon_->setPixmap(TrayMenu::icon(model.icon).pixmap(32, 32));
  if (!controlsFor_ || !sameShape(*controlsFor_, model.items)) rebuildControls(model.items);
  // Words, checks and values change in place.
  for (QCheckBox* box : controls_->findChildren<QCheckBox*>()) {
    const int index = box->property("item").toInt();
    box->blockSignals(true);
    box->setChecked(model.items[static_cast<size_t>(index)].checked);
    box->blockSignals(false);
    box->setProperty("value", model.items[static_cast<size_t>(index)].value);
  }
  for (QPushButton* button : controls_->findChildren<QPushButton*>()) {
    const MenuItem& item = model.items[static_cast<size_t>(button->property("item").toInt())];
    button->setText(QString::fromStdString(item.label));
    button->setProperty("value", item.value);
  }
  controlsFor_ = model.items;
  render();
  QWidget::show();
}

void StatusWindow::rebuildControls(const std::vector<MenuItem>& items) {
  for (QWidget* old : controls_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) delete old;
  int buttons = 0, row = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const MenuItem& item = items[i];
    QWidget* control = nullptr;
    if (item.kind == MenuItem::Kind::button) {
      auto* button = new QPushButton(QString::fromStdString(item.label));
      QObject::connect(button, &QPushButton::clicked, this, [this, button, what = item.action] {
        const double value = button->property("value").toDouble();
        QMetaObject::invokeMethod(
            this, [this, what, value] { handler_(what, value); }, Qt::QueuedConnection);
      });
      controlsLayout_->addWidget(button, row + buttons / 2, buttons % 2);
      ++buttons;
      control = button;
    } else if (item.kind == MenuItem::Kind::toggle) {
      auto* box = new QCheckBox(QString::fromStdString(item.label));
      QObject::connect(box, &QCheckBox::toggled, this, [this, box, what = item.action] {
        const double value = box->property("value").toDouble();
        QMetaObject::invokeMethod(
            this, [this, what, value] { handler_(what, value); }, Qt::QueuedConnection);
      });
      row += (buttons + 1) / 2;
      buttons = 0;
      controlsLayout_->addWidget(box, row++, 0, 1, 2);
      control = box;
    }
    if (control) control->setProperty("item", static_cast<int>(i));
  }
}

void StatusWindow::render() {
  const StatusPanel panel = buildStatusPanel(state_, std::chrono::system_clock::now());
  const auto set = [&](const char* name, const std::optional<std::string>& text) {
    QLabel* label = lines_.at(name);
    label->setText(QString::fromStdString(text.value_or("")));
    label->setVisible(text.has_value());
  };
  set("count", panel.count);
  set("status", panel.status);
  set("remedy", panel.remedy);
  set("error", panel.error);
  set("folder", panel.folder);
  set("clock", panel.clock);
  set("totals", panel.totals);
  set("companions", panel.companions);
  set("code", panel.code);
}

void StatusWindow::closeEvent(QCloseEvent* event) {
  // Nothing else shows this agent: closing alone would leave it counting
  // and holding its port out of sight.
  const auto answer = QMessageBox::question(
      this, "Quit Orvane Live Agent?",
      "This window is how the agent shows itself here. Closing it quits the agent: it stops counting frames "
      "and companions are disconnected.",
      QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
  if (answer == QMessageBox::Yes) {
    handler_(MenuAction::quit, 0);
    event->accept();
  } else {
    event->ignore();
  }
}

}  // namespace vantle::app
