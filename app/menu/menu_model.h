// What the menu shows, as plain values: the tray item's title and icon and
// the menu's items, top to bottom, each with its text and the action it
// stands for.
//
// Built afresh from the controller's published state (and the hardware
// monitor's warning and the two warning thresholds) on every change; the
// Qt view only renders it and forwards the chosen action. Pure: no Qt, no
// clock, no I/O.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/agent_controller.h"

namespace vantle::app {

enum class MenuAction {
  none,
  showQrCode,
  endShoot,
  resumeShoot,
  stopClockAfter,      // value: minutes
  warnOnLowDisk,       // value: gigabytes
  warnOnLowBattery,    // value: percent
  stop,
  rotatePairingCode,
  start,
  chooseFolder,
  readCaptureOne,
  countJpegsToo,       // value: 1 to turn on, 0 to turn off
  openAtLogin,         // value: 1 to turn on, 0 to turn off
  shareWithBrowsers,   // value: 1 to turn on, 0 to turn off
  showBrowserQrCode,
  quit,
};

struct MenuItem {
  enum class Kind { text, button, toggle, submenu, divider };

  Kind kind = Kind::text;
  std::string label;
  MenuAction action = MenuAction::none;
  double value = 0;                // the action's argument, where it takes one
  bool checked = false;            // toggles
  std::string shortcut;            // a key sequence in Qt's portable text ("Ctrl+Q"), else empty
  std::vector<MenuItem> children;  // submenus

  bool operator==(const MenuItem&) const = default;
};

// The tray item's icon, by the project's icon names.
enum class TrayIcon { aperture, meteringNone, warning, warningFilled };

struct MenuModel {
  std::string title;  // the frame count while counting, else empty
  TrayIcon icon = TrayIcon::meteringNone;
  std::vector<MenuItem> items;

  bool operator==(const MenuModel&) const = default;
};

// What, besides the controller's state, the menu shows.
struct MenuInputs {
  bool hardwareWarning = false;
  double diskWarningThresholdGB = 50;
  int64_t batteryWarningThreshold = 20;
  std::string version = "? (?)";  // "1.2 (345)"
};

MenuModel buildMenu(const agent::AgentController::State& state, const MenuInputs& inputs);

// The labels of a menu's items, depth first, submenu items indented by two
// blanks and dividers as "---"; for tests and diagnostics.
std::vector<std::string> menuLabels(const std::vector<MenuItem>& items);

// Whether `now` can be shown by the entries made for `before`: the same
// entries, for the same actions, whatever their words, checks and values.
bool sameShape(const std::vector<MenuItem>& before, const std::vector<MenuItem>& now);

// The icon's name in the project's icon theme.
const char* iconName(TrayIcon icon);

}  // namespace vantle::app
