#include "app/menu/menu_application.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <memory>
#include <thread>

#include "agent/desktop/user_defaults.h"
#include "agent/monitor/hardware_monitor.h"
#include "app/agent_controller.h"
#include "app/agent_setup.h"
#include "app/menu/menu_model.h"
#include "app/menu/qr_window.h"
#include "app/menu/tray_menu.h"

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
  explicit MenuApplication(const AgentOptions& options)
      : defaults_(agent::UserDefaults::standard()), monitor_(agent::HardwareMonitor::shared()) {
    controller_ = makeController(options, onGuiThread);
    controller_->setObserver({.onChange = [this](const AgentController::State&) { rebuild(); }});
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
    tray_->show(buildMenu(controller_->state(), inputs));
  }

  void act(MenuAction action, double value) {
    switch (action) {
      case MenuAction::none: return;
      case MenuAction::showQrCode: QrWindow::show(controller_->state().pairingCode); return;
      case MenuAction::endShoot: controller_->endShoot(); return;
      case MenuAction::resumeShoot: controller_->resumeShoot(); return;
      case MenuAction::stopClockAfter: controller_->setIdleThreshold(value * 60); return;
      case MenuAction::warnOnLowDisk:
        defaults_->setDiskWarningThresholdGB(value);
        rebuild();
        return;
      case MenuAction::warnOnLowBattery:
        defaults_->setMacBatteryWarningThreshold(static_cast<int64_t>(value));
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
      case MenuAction::quit: QApplication::quit(); return;
    }
  }

  // Directories only, one at a time; cancelling changes nothing.
  void chooseFolder() {
    QFileDialog panel(nullptr, "Choose the session folder to watch. Orvane Live only reads it.");
    panel.setFileMode(QFileDialog::Directory);
    panel.setOption(QFileDialog::ShowDirsOnly, true);
    panel.setLabelText(QFileDialog::Accept, "Watch");
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty()) return;
    controller_->setWatchedRoot(fs::path(panel.selectedFiles().front().toStdString()));
  }

  std::shared_ptr<agent::UserDefaults> defaults_;
  std::shared_ptr<agent::HardwareMonitor> monitor_;
  std::shared_ptr<AgentController> controller_;
  std::unique_ptr<TrayMenu> tray_;
};

}  // namespace

std::string versionText() {
  const std::string version = VANTLE_VERSION;
  const std::string build = VANTLE_BUILD_NUMBER;
  return (version.empty() ? "?" : version) + " (" + (build.empty() ? "?" : build) + ")";
}

int runMenuApplication(int argc, char** argv, const AgentOptions& options, const sigset_t& stops) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Orvane Live Agent");
  QApplication::setDesktopFileName("orvane-vantle-agent");
  QApplication::setQuitOnLastWindowClosed(false);
  registerIcons();
  QApplication::setWindowIcon(TrayMenu::icon(TrayIcon::aperture));

  // The session ending sends SIGTERM: quit as the menu's Quit would.
  std::thread([stops] {
    int signal = 0;
    if (sigwait(&stops, &signal) == 0) onGuiThread([] { QApplication::quit(); });
  }).detach();

  MenuApplication menu(options);
  QObject::connect(&app, &QApplication::aboutToQuit, [&menu] { menu.quit(); });
  QMetaObject::invokeMethod(&app, [&menu] { menu.launch(); }, Qt::QueuedConnection);
  return QApplication::exec();
}

void showStartupRefusal(int argc, char** argv, const std::string& sentence) {
  QApplication application(argc, argv);
  QMessageBox::critical(nullptr, "Orvane Live Agent", QString::fromStdString(sentence));
}

}  // namespace vantle::app
