#include "app/menu/menu_model.h"

namespace vantle::app {
namespace {

using Kind = MenuItem::Kind;
using agent::AgentController;

constexpr const char* kCheck = "\u2713 ";
constexpr const char* kWarningSign = "\u26a0\ufe0e ";  // text presentation, not the emoji

MenuItem text(std::string label) { return {.kind = Kind::text, .label = std::move(label)}; }
MenuItem divider() { return {.kind = Kind::divider}; }
MenuItem button(std::string label, MenuAction action) {
  return {.kind = Kind::button, .label = std::move(label), .action = action};
}
MenuItem toggle(std::string label, bool on, MenuAction action) {
  return {.kind = Kind::toggle, .label = std::move(label), .action = action, .value = on ? 0.0 : 1.0, .checked = on};
}

template <typename T>
MenuItem choices(std::string label, const std::vector<T>& values, bool (*current)(T, double), double now,
                 std::string (*text)(T), MenuAction action) {
  MenuItem submenu{.kind = Kind::submenu, .label = std::move(label)};
  for (const T value : values) {
    submenu.children.push_back({.kind = Kind::button,
                                .label = (current(value, now) ? kCheck : "") + text(value),
                                .action = action,
                                .value = static_cast<double>(value)});
  }
  return submenu;
}

}  // namespace

MenuModel buildMenu(const AgentController::State& state, const MenuInputs& inputs) {
  const core::VantleSnapshot& snapshot = state.snapshot;
  const bool counting = state.isRunning && snapshot.status == core::AgentStatus::ok;
  MenuModel model;
  model.title = counting ? std::to_string(snapshot.frameCount) : "";
  if (state.isRunning && inputs.hardwareWarning) {
    model.icon = TrayIcon::warningFilled;
  } else if (state.isRunning && (snapshot.status == core::AgentStatus::catalogNotSupported ||
                                 snapshot.status == core::AgentStatus::permissionDenied)) {
    model.icon = TrayIcon::warning;
  } else if (counting) {
    model.icon = TrayIcon::aperture;
  } else {
    model.icon = TrayIcon::meteringNone;
  }

  auto& items = model.items;
  items.push_back(text(AgentController::summary(state)));
  if (auto remedy = AgentController::remedyFor(state)) items.push_back(text(*remedy));
  if (state.lastError) items.push_back(text(*state.lastError));
  items.push_back(divider());
  if (state.isRunning) {
    items.push_back(text("Pairing code  " + state.pairingCode));
    items.push_back(button("Show QR Code", MenuAction::showQrCode));
    if (state.browserAddress) items.push_back(button("Show Browser QR Code", MenuAction::showBrowserQrCode));
    items.push_back(text(state.peerCount == 1 ? "1 device connected"
                                              : std::to_string(state.peerCount) + " devices connected"));
    if (counting) items.push_back(text("This shoot  " + std::to_string(snapshot.framesThisShoot) + " frames"));
    if (auto warning = snapshot.orphanWarning()) items.push_back(text(kWarningSign + *warning));
  }
  items.push_back(divider());
  if (state.isRunning) {
    items.push_back(state.canResumeShoot ? button("Resume Shoot", MenuAction::resumeShoot)
                                         : button("End Shoot", MenuAction::endShoot));
    items.push_back(choices<int>(
        "Stop the Clock After", {2, 5, 10, 15, 30}, [](int v, double now) { return now == v * 60.0; },
        state.idleThreshold, [](int v) { return std::to_string(v) + " minutes"; }, MenuAction::stopClockAfter));
    items.push_back(choices<int>(
        "Warn on Low Disk", {10, 50, 100, 200, 500}, [](int v, double now) { return now == v; },
        inputs.diskWarningThresholdGB, [](int v) { return std::to_string(v) + " GB"; }, MenuAction::warnOnLowDisk));
    items.push_back(choices<int>(
        "Warn on Low Battery", {90, 80, 70, 60, 50, 40, 30, 20, 10}, [](int v, double now) { return now == v; },
        static_cast<double>(inputs.batteryWarningThreshold), [](int v) { return std::to_string(v) + "%"; },
        MenuAction::warnOnLowBattery));
    items.push_back(divider());
    items.push_back(button("Stop", MenuAction::stop));
    items.push_back(button("New Pairing Code", MenuAction::rotatePairingCode));
  } else {
    items.push_back(button("Start", MenuAction::start));
  }
  items.push_back(toggle("Share with Browsers", state.sharesWithBrowsers, MenuAction::shareWithBrowsers));
  if (state.watchedRoot) {
    items.push_back(button("Watch a Different Folder\u2026", MenuAction::chooseFolder));
    items.push_back(button("Read Capture One Instead", MenuAction::readCaptureOne));
  } else {
    items.push_back(button("Watch a Folder Instead\u2026", MenuAction::chooseFolder));
  }
  items.push_back(toggle("Count JPEGs Too", state.counting == core::FrameCountRule::CountingMode::anyImage,
                         MenuAction::countJpegsToo));
  items.push_back(toggle("Open at Login", state.launchesAtLogin, MenuAction::openAtLogin));
  items.push_back(text("Version " + inputs.version));
  MenuItem quit = button("Quit Orvane Live Agent", MenuAction::quit);
  quit.shortcut = "Ctrl+Q";
  items.push_back(quit);
  return model;
}

std::vector<std::string> menuLabels(const std::vector<MenuItem>& items) {
  std::vector<std::string> labels;
  for (const MenuItem& item : items) {
    labels.push_back(item.kind == Kind::divider ? "---" : item.label);
    for (const std::string& child : menuLabels(item.children)) labels.push_back("  " + child);
  }
  return labels;
}

const char* iconName(TrayIcon icon) {
  switch (icon) {
    case TrayIcon::aperture: return "orvane-vantle-aperture";
    case TrayIcon::meteringNone: return "orvane-vantle-metering-none";
    case TrayIcon::warning: return "orvane-vantle-warning";
    case TrayIcon::warningFilled: return "orvane-vantle-warning-filled";
  }
  return "orvane-vantle-metering-none";
}

bool sameShape(const std::vector<MenuItem>& before, const std::vector<MenuItem>& now) {
  if (before.size() != now.size()) return false;
  for (size_t i = 0; i < now.size(); ++i) {
    const MenuItem& a = before[i];
    const MenuItem& b = now[i];
    if (a.kind != b.kind || a.action != b.action || a.shortcut != b.shortcut || !sameShape(a.children, b.children)) {
      return false;
    }
  }
  return true;
}

}  // namespace vantle::app
