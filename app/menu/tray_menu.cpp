#include "app/menu/tray_menu.h"

#include <QAction>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

namespace vantle::app {

TrayMenu::TrayMenu(Handler handler, bool useTray)
    : handler_(std::move(handler)), menu_(std::make_unique<QMenu>()) {
  if (useTray && QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(this);
    tray_->setContextMenu(menu_.get());
    tray_->setIcon(icon(TrayIcon::meteringNone));
    tray_->show();
  } else {
    makeStatusWindow();
  }
}

TrayMenu::~TrayMenu() {
  if (tray_) tray_->setContextMenu(nullptr);
  delete window_.data();
}

QIcon TrayMenu::icon(TrayIcon which) {
  const QString name = iconName(which);
  return QIcon::fromTheme(name, QIcon(":/icons/" + name + ".svg"));
}

void TrayMenu::makeStatusWindow() {
  auto* window = new QWidget(nullptr, Qt::Window);
  window->setWindowTitle("Orvane Live Agent");
  auto* layout = new QHBoxLayout(window);
  windowIcon_ = new QLabel;
  windowTitle_ = new QLabel;
  windowTitle_->setObjectName("title");
  auto* button = new QPushButton("Menu");
  button->setObjectName("menu");
  button->setMenu(menu_.get());
  layout->addWidget(windowIcon_);
  layout->addWidget(windowTitle_, 1);
  layout->addWidget(button);
  window->resize(320, 64);
  window->show();
  window_ = window;
}

void TrayMenu::show(const MenuModel& model) {
  menu_->clear();
  // clear() deletes only the actions the menu owns: the submenus are its
  // children and would pile up, three more with every rebuild.
  qDeleteAll(menu_->findChildren<QMenu*>(Qt::FindDirectChildrenOnly));
  fill(*menu_, model.items);
  const QIcon trayIcon = icon(model.icon);
  const QString title = QString::fromStdString(model.title);
  if (tray_) {
    tray_->setIcon(trayIcon);
    tray_->setToolTip(title);
  }
  if (window_) {
    windowIcon_->setPixmap(trayIcon.pixmap(24, 24));
    windowTitle_->setText(title);
  }
}

void TrayMenu::fill(QMenu& menu, const std::vector<MenuItem>& items) {
  for (const MenuItem& item : items) {
    const QString label = QString::fromStdString(item.label);
    switch (item.kind) {
      case MenuItem::Kind::divider:
        menu.addSeparator();
        break;
      case MenuItem::Kind::text:
        menu.addAction(label)->setEnabled(false);
        break;
      case MenuItem::Kind::submenu:
        fill(*menu.addMenu(label), item.children);
        break;
      case MenuItem::Kind::button:
      case MenuItem::Kind::toggle: {
        QAction* action = menu.addAction(label);
        if (item.kind == MenuItem::Kind::toggle) {
          action->setCheckable(true);
          action->setChecked(item.checked);
        }
        if (!item.shortcut.empty()) action->setShortcut(QKeySequence(QString::fromStdString(item.shortcut)));
        // Queued: the handler may rebuild this very menu.
        QObject::connect(action, &QAction::triggered, this, [this, what = item.action, value = item.value] {
          QMetaObject::invokeMethod(this, [this, what, value] { handler_(what, value); }, Qt::QueuedConnection);
        });
        break;
      }
    }
  }
}

}  // namespace vantle::app
