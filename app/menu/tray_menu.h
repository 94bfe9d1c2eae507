// The menu on screen: a tray item with its icon, title and menu, or, where
// the desktop has no tray, the status window (status_window.h) with the same
// controls.
//
// It renders a MenuModel and nothing else: a model of the same shape as the
// last one only changes the words and checks of the entries already shown,
// another shape replaces the whole menu, and every choice goes to the
// handler with the item's action and value. On desktops with a StatusNotifierItem host Qt exports the tray item
// and its menu over D-Bus (org.kde.StatusNotifierItem, com.canonical.dbusmenu),
// which is what the panel shows. GUI thread only.
#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/agent_controller.h"
#include "app/menu/menu_model.h"
#include "app/menu/status_window.h"

class QWidget;

namespace vantle::app {

class TrayMenu : public QObject {
 public:
  using Handler = std::function<void(MenuAction action, double value)>;

  // `useTray` false puts the menu in the status window even where a tray exists.
  TrayMenu(Handler handler, bool useTray);
  ~TrayMenu() override;

  // `state` is what the model was built from; the status window shows more of it.
  void show(const MenuModel& model, const agent::AgentController::State& state);

  // The menu as built last; the status window when there is no tray.
  QMenu& menu() { return *menu_; }
  QWidget* statusWindow() const { return window_.data(); }
  bool usesTray() const { return tray_ != nullptr; }

  // The icon of a tray state: the desktop's icon theme first, else the
  // project's own bundled icon.
  static QIcon icon(TrayIcon which);

 private:
  void fill(QMenu& menu, const std::vector<MenuItem>& items);

  Handler handler_;
  std::unique_ptr<QMenu> menu_;
  std::optional<std::vector<MenuItem>> shown_;  // the items the menu shows
  QSystemTrayIcon* tray_ = nullptr;  // owned by this object
  QPointer<StatusWindow> window_;
};

}  // namespace vantle::app
