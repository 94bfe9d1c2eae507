// The window that is the whole interface where the desktop shows no tray
// (GNOME as Debian installs it): the status panel (status_panel.h), the
// menu's buttons and toggles as the window's own controls, and the whole
// menu behind "More", for its submenus. It follows the system's theme.
//
// The shot clock ticks once a second between changes. Closing the window
// asks whether to quit, since nothing else would show the agent still
// holding its port: quitting is handed on as the menu's Quit, and otherwise
// the window stays. GUI thread only.
#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/agent_controller.h"
#include "app/menu/menu_model.h"

class QCloseEvent;
class QGridLayout;
class QLabel;
class QMenu;
class QVBoxLayout;

namespace vantle::app {

class StatusWindow : public QWidget {
 public:
  using Handler = std::function<void(MenuAction action, double value)>;

  // `menu` is the whole menu, owned by the caller and outliving the window.
  StatusWindow(Handler handler, QMenu& menu);

  void show(const MenuModel& model, const agent::AgentController::State& state);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void render();
  void rebuildControls(const std::vector<MenuItem>& items);
  QLabel* line(const char* name, QVBoxLayout& layout);

  Handler handler_;
  agent::AgentController::State state_;
  std::optional<std::vector<MenuItem>> controlsFor_;
  std::map<std::string, QLabel*> lines_;  // by object name
  QLabel* icon_ = nullptr;
  QWidget* controls_ = nullptr;
  QGridLayout* controlsLayout_ = nullptr;
  QTimer tick_;
};

}  // namespace vantle::app
