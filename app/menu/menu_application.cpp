#include "app/menu/menu_application.h"

#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <memory>
#include <unistd.h>
#include <thread>

#include "agent/desktop/user_defaults.h"
#include "agent/monitor/hardware_monitor.h"
#include "app/agent_controller.h"
#include "app/agent_setup.h"
#include "app/menu/menu_model.h"
#include "app/menu/qr_window.h"
#include "app/menu/tray_menu.h"
#include "app/published_state.h"

// The bundled icons live in a static library: their resources are
// registered by hand, outside any namespace.
static void registerIcons() { Q_INIT_RESOURCE(icons); }

namespace vantle::app {
namespace {

namespace fs = std::filesystem;
using agent::AgentController;
using core::FrameCountRule::CountingMode;

// Runs work on the GUI thread; dropped once the application is gone.
void onGuiThread(std::function<void()> work) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
  }
}

class MenuApplication {
 public:
  MenuApplication(const AgentOptions& options, std::unique_ptr<AgentBus> bus)
      : defaults_(agent::UserDefaults::standard()), monitor_(agent::HardwareMonitor::shared()), bus_(std::move(bus)) {
    controller_ = makeController(options, onGuiThread);
    controller_->setObserver({.onChange = [this](const AgentController::State&) { rebuild(); }});
    if (bus_) {
      bus_->serve([](const AgentCommand& command) {
        onGuiThread([command] { if (instance) instance->perform(command); });
      });
    }
    monitor_->setOnHasWarningChanged([](bool) { onGuiThread([] { if (instance) instance->rebuild(); }); });
    tray_ = std::make_unique<TrayMenu>([this](MenuAction action, double value) { act(action, value); }, true);
    applySettings(options, *controller_);
    instance = this;
  }

  ~MenuApplication() { instance = nullptr; }

  void launch() {
    controller_->start();
    controller_->offerLoginItemOnce();
    rebuild();
  }

  void quit() { controller_->finish(); }

  static inline MenuApplication* instance = nullptr;

 private:
  void rebuild() {
    MenuInputs inputs;
    inputs.hardwareWarning = monitor_->hasWarning();
    inputs.diskWarningThresholdGB =
        defaults_->diskWarningThresholdGB().value_or(agent::HardwareMonitor::defaultDiskThresholdGB);
    inputs.batteryWarningThreshold =
        defaults_->macBatteryWarningThreshold().value_or(agent::HardwareMonitor::defaultBatteryThreshold);
    inputs.version = versionText();
    tray_->show(buildMenu(controller_->state(), inputs), controller_->state());
    if (bus_) bus_->publish(busStateOf(*controller_));
  }

  // A command from the session bus, as the menu item that does the same.
  void perform(const AgentCommand& command) {
    using Kind = AgentCommand::Kind;
    switch (command.kind) {
      case Kind::endShoot: return act(MenuAction::endShoot, 0);
      case Kind::resumeShoot: return act(MenuAction::resumeShoot, 0);
      case Kind::newPairingCode: return act(MenuAction::rotatePairingCode, 0);
      case Kind::countAll: return act(MenuAction::countJpegsToo, command.on ? 1 : 0);
      case Kind::shareWithBrowsers: return act(MenuAction::shareWithBrowsers, command.on ? 1 : 0);
      case Kind::stopClockAfter: return act(MenuAction::stopClockAfter, command.minutes);
      case Kind::watch: controller_->setWatchedRoot(fs::path(command.folder)); return;
      case Kind::captureOne: return act(MenuAction::readCaptureOne, 0);
      case Kind::showStatus: return;
      case Kind::showQrCode: return act(MenuAction::showQrCode, 0);
      case Kind::showWindow: return showWindow();
      case Kind::stop: return act(MenuAction::stop, 0);
      case Kind::start: return act(MenuAction::start, 0);
      case Kind::quit: return act(MenuAction::quit, 0);
    }
  }

  // For a second launch: the status window, or the tray's menu where the pointer is.
  void showWindow() {
    if (QWidget* window = tray_->statusWindow()) {
      window->show();
      window->raise();
      window->activateWindow();
    } else {
      tray_->menu().popup(QCursor::pos());
    }
  }

  void act(MenuAction action, double value) {
    switch (action) {
      case MenuAction::none: return;
      case MenuAction::showQrCode: QrWindow::show(controller_->state().pairingCode); return;
      case MenuAction::endShoot: controller_->endShoot(); return;
      case MenuAction::resumeShoot: controller_->resumeShoot(); return;
      case MenuAction::stopClockAfter: controller_->setIdleThreshold(value * 60); return;
      case MenuAction::warnOnLowDisk:
        sayIfNotSaved(defaults_->setDiskWarningThresholdGB(value));
        rebuild();
        return;
      case MenuAction::warnOnLowBattery:
        sayIfNotSaved(defaults_->setMacBatteryWarningThreshold(static_cast<int64_t>(value)));
        rebuild();
        return;
      case MenuAction::stop: controller_->stop(); return;
      case MenuAction::rotatePairingCode: controller_->rotatePairingCode(); return;
      case MenuAction::start: controller_->start(); return;
      case MenuAction::chooseFolder: chooseFolder(); return;
      case MenuAction::readCaptureOne: controller_->setWatchedRoot(std::nullopt); return;
      case MenuAction::countJpegsToo:
        controller_->setCounting(value != 0 ? CountingMode::anyImage : CountingMode::rawOnly);
        return;
      case MenuAction::openAtLogin: controller_->setLaunchAtLogin(value != 0); return;
      case MenuAction::shareWithBrowsers: controller_->setSharingWithBrowsers(value != 0); return;
      case MenuAction::showBrowserQrCode:
        if (const auto& address = controller_->state().browserAddress) {
          QrWindow::showBrowser(*address, controller_->state().browserFingerprint);
        }
        return;
      case MenuAction::quit: QApplication::quit(); return;
    }
  }

  // A threshold that did not reach the settings would quietly be the old one again at the next launch.
  static void sayIfNotSaved(const std::optional<agent::Failure>& failure) {
    if (!failure) return;
    QMessageBox::warning(nullptr, "Orvane Live Agent",
                         QString::fromStdString("The setting could not be saved: " + failure->description));
  }

  // Directories only, one at a time; cancelling changes nothing.
  void chooseFolder() {
    QFileDialog panel(nullptr, "Choose the session folder to watch. Orvane Live only reads it.");
    panel.setFileMode(QFileDialog::Directory);
    panel.setOption(QFileDialog::ShowDirsOnly, true);
    panel.setLabelText(QFileDialog::Accept, "Watch");
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty()) return;
    // The file system's own bytes: a name that is not UTF-8 survives.
    controller_->setWatchedRoot(fs::path(QFile::encodeName(panel.selectedFiles().front()).toStdString()));
  }

  std::shared_ptr<agent::UserDefaults> defaults_;
  std::shared_ptr<agent::HardwareMonitor> monitor_;
  std::shared_ptr<AgentController> controller_;
  std::unique_ptr<AgentBus> bus_;  // gone before the controller: no command comes after it
  std::unique_ptr<TrayMenu> tray_;
};

}  // namespace

std::string versionText() {
  const std::string version = VANTLE_VERSION;
  const std::string build = VANTLE_BUILD_NUMBER;
  return (version.empty() ? "?" : version) + " (" + (build.empty() ? "?" : build) + ")";
}

int runMenuApplication(int argc, char** argv, const AgentOptions& options, const sigset_t& stops,
                       std::unique_ptr<AgentBus> bus) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Orvane Live Agent");
  QApplication::setDesktopFileName("orvane-vantle-agent");
  QApplication::setQuitOnLastWindowClosed(false);
  registerIcons();
  QApplication::setWindowIcon(TrayMenu::icon(TrayIcon::aperture));

  // The session ending sends SIGTERM: quit as the menu's Quit would. A
  // second signal while quitting does not wait.
  std::thread([stops] {
    int signal = 0;
    if (sigwait(&stops, &signal) == 0) onGuiThread([] { QApplication::quit(); });
    if (sigwait(&stops, &signal) == 0) _exit(128 + signal);
  }).detach();

  MenuApplication menu(options, std::move(bus));
  QObject::connect(&app, &QApplication::aboutToQuit, [&menu] { menu.quit(); });
  QMetaObject::invokeMethod(&app, [&menu] { menu.launch(); }, Qt::QueuedConnection);
  return QApplication::exec();
}

void showStartupRefusal(int argc, char** argv, const std::string& sentence) {
  QApplication application(argc, argv);
  QMessageBox::critical(nullptr, "Orvane Live Agent", QString::fromStdString(sentence));
}

}  // namespace vantle::app
