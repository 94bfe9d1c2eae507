#include "app/menu/tray_menu.h"

#include <QAction>
#include <QKeySequence>

namespace vantle::app {

TrayMenu::TrayMenu(Handler handler, bool useTray)
    : handler_(std::move(handler)), menu_(std::make_unique<QMenu>()) {
  if (useTray && QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(this);
    tray_->setContextMenu(menu_.get());
    tray_->setIcon(icon(TrayIcon::meteringNone));
    tray_->show();
  } else {
    window_ = new StatusWindow(handler_, *menu_);
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

namespace {

// Gives the entries of `menu`, made for a model of the same shape, the
// words, checks and values of `items`.
void relabel(QMenu& menu, const std::vector<MenuItem>& items) {
  const QList<QAction*> actions = menu.actions();
  for (size_t i = 0; i < items.size(); ++i) {
    QAction* action = actions[static_cast<qsizetype>(i)];
    const QString label = QString::fromStdString(items[i].label);
    if (action->text() != label) action->setText(label);
    if (items[i].kind == MenuItem::Kind::toggle && action->isChecked() != items[i].checked) {
      action->setChecked(items[i].checked);
    }
    action->setData(items[i].value);
    if (action->menu()) relabel(*action->menu(), items[i].children);
  }
}

}  // namespace

void TrayMenu::show(const MenuModel& model, const agent::AgentController::State& state) {
  // A frame changes a few words: the entries stay, so a submenu open under
  // the pointer stays open. Only a menu of another shape is made again.
  if (shown_ && sameShape(*shown_, model.items)) {
    relabel(*menu_, model.items);
  } else {
    menu_->clear();
    // clear() deletes only the actions the menu owns: the submenus are its
    // children and would pile up, three more with every rebuild.
    qDeleteAll(menu_->findChildren<QMenu*>(Qt::FindDirectChildrenOnly));
    fill(*menu_, model.items);
  }
  shown_ = model.items;
  const QIcon trayIcon = icon(model.icon);
  const QString title = QString::fromStdString(model.title);
  if (tray_) {
    tray_->setIcon(trayIcon);
    tray_->setToolTip(title);
  }
  if (window_) window_->show(model, state);
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
        // The value travels with the entry, which may be relabelled; queued:
        // the handler may rebuild this very menu.
        action->setData(item.value);
        QObject::connect(action, &QAction::triggered, this, [this, action, what = item.action] {
          const double value = action->data().toDouble();
          QMetaObject::invokeMethod(this, [this, what, value] { handler_(what, value); }, Qt::QueuedConnection);
        });
        break;
      }
    }
  }
}

}  // namespace vantle::app
