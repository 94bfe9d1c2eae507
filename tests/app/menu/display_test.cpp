// The windows on a real X display (Xvfb, the xcb platform), as the X server
// holds them: the status window that carries the menu where there is no
// tray, and the pairing QR window, each saved as a screenshot for people to
// look at (in the build folder's screens/).
//
// Runs under an X server of its own (with-xvfb); ctest runs it that way.
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QSet>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include "tests/app/menu/menu_fixtures.h"

#include <filesystem>
#include <functional>
#include <string>

#include "app/menu/menu_model.h"
#include "app/menu/qr_window.h"
#include "app/menu/tray_menu.h"

namespace vantle::app {
namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 30'000;

// Takes the window as the X server has it, again until `accept` holds for
// the image and the file it is saved in, under `name` (the first paint may
// not have reached the server yet); whether it came good.
bool screenshot(QWidget& window, const std::string& name,
                const std::function<bool(const QImage&, const fs::path&)>& accept) {
  const fs::path folder = VANTLE_SCREENS_DIR;
  fs::create_directories(folder);
  const fs::path file = folder / name;
  return QTest::qWaitFor(
      [&] {
        const QImage image = window.screen()->grabWindow(window.winId()).toImage();
        image.save(QString::fromStdString(file.string()), "PNG");
        return accept(image, file);
      },
      kWaitMs);
}

TEST(MenuOnScreen, TheStatusWindowAndTheQrWindowAsTheXServerShowsThem) {
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");

  TrayMenu tray([](MenuAction, double) {}, false);
  // The window in the states a photographer meets: waiting for the first
  // frame of a watched folder, counting in a shot, and a warning.
  agent::AgentController::State waiting = testing::countingAgent();
  waiting.watchedRoot = "/home/studio/Pictures/Shoot";
  waiting.snapshot = {};
  waiting.snapshot.status = core::AgentStatus::folderUnreadable;
  waiting.waitingForFirstFrame = true;
  agent::AgentController::State counting = testing::countingAgent();
  counting.isShootRunning = true;
  counting.peerCount = 2;
  counting.snapshot.shotOpenedAt = std::chrono::system_clock::now() - std::chrono::seconds(200);
  counting.snapshot.shotLastActivityAt = std::chrono::system_clock::now();
  counting.snapshot.shotsCompleted = 3;
  agent::AgentController::State warning = testing::countingAgent();
  warning.snapshot.status = core::AgentStatus::folderUnreadable;
  warning.lastError = "Someone at 3 addresses is trying pairing codes. If that is not one of your devices, make a "
                      "new pairing code.";
  QImage previous;  // each state's picture differs from the last, once the X server has it
  for (const auto& [state, name] : {std::pair{waiting, "status-window-waiting.png"},
                                    std::pair{counting, "status-window-counting.png"},
                                    std::pair{warning, "status-window-warning.png"}}) {
    tray.show(buildMenu(state, {}), state);
    QWidget* status = tray.statusWindow();
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->windowTitle(), "Orvane Live Agent");
    ASSERT_TRUE(QTest::qWaitForWindowExposed(status, kWaitMs));
    // The new words laid out and painted before the X server is asked.
    QCoreApplication::processEvents();
    status->repaint();
    // Background, text and the icon's colours at the least.
    EXPECT_TRUE(screenshot(*status, name, [&](const QImage& image, const fs::path&) {
      QSet<QRgb> colours;
      for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) colours.insert(image.pixel(x, y));
      }
      if (colours.size() < 3 || image == previous) return false;
      previous = image;
      return true;
    })) << name << ": the status window is blank or was not repainted";
  }

  QPointer<QWidget> qr = QrWindow::show("042917");
  ASSERT_TRUE(qr);
  EXPECT_EQ(qr->windowTitle(), "Pairing Code");
  EXPECT_EQ(qr->findChild<QLabel*>("code")->text(), "042917");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(qr, kWaitMs));
  EXPECT_TRUE(screenshot(*qr, "qr-window.png",
                         [](const QImage&, const fs::path& file) { return testing::decodeQr(file) == "042917"; }));
  EXPECT_EQ(qr->size(), QSize(300, 320));
  // In the middle of the screen.
  EXPECT_LE((qr->geometry().center() - qr->screen()->availableGeometry().center()).manhattanLength(), 2);

  // A new code replaces the window rather than adding one.
  QPointer<QWidget> again = QrWindow::show("318204");
  ASSERT_TRUE(again);
  EXPECT_EQ(QrWindow::current(), again.data());
  EXPECT_TRUE(QTest::qWaitFor([&] { return qr.isNull(); }, kWaitMs)) << "the first window was not closed";

  // The browser QR code holds the whole address, and the fingerprint is beside it to compare.
  const std::string address = "https://192.168.1.20:39183/#9f2c4e1a7b3d5f60182a3c4d5e6f7081";
  const std::string fingerprint =
      "5C:0B:12:34:56:78:9A:BC:DE:F0:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:10:20:30:40:50:E1";
  QPointer<QWidget> browser = QrWindow::showBrowser(address, fingerprint);
  ASSERT_TRUE(browser);
  EXPECT_TRUE(QTest::qWaitFor([&] { return again.isNull(); }, kWaitMs)) << "one QR window at a time";
  EXPECT_EQ(browser->windowTitle(), "Browser QR Code");
  EXPECT_EQ(browser->findChild<QLabel*>("address")->text().toStdString(), address);
  QString shown = browser->findChild<QLabel*>("fingerprint")->text();
  EXPECT_EQ(shown.replace('\n', ':').toStdString(), fingerprint);  // two lines of sixteen bytes
  ASSERT_TRUE(QTest::qWaitForWindowExposed(browser, kWaitMs));
  EXPECT_TRUE(screenshot(*browser, "browser-qr-window.png",
                         [&](const QImage&, const fs::path& file) { return testing::decodeQr(file) == address; }));
  browser->close();
  EXPECT_TRUE(QTest::qWaitFor([&] { return browser.isNull(); }, kWaitMs));
}

}  // namespace
}  // namespace vantle::app
