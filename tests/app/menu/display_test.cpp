// The windows on a real X display (Xvfb, the xcb platform), as the X server
// holds them: the status window that carries the menu where there is no
// tray, and the pairing QR window, each saved as a screenshot for people to
// look at (in the build folder's screens/).
//
// Runs under an X server of its own (with-xvfb); ctest runs it that way.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QSet>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include "tests/app/menu/agent_states.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "app/menu/menu_model.h"
#include "app/menu/qr_window.h"
#include "app/menu/tray_menu.h"
#include "tests/app/menu/qr_decoder.h"

namespace vantle::app {
namespace {

namespace fs = std::filesystem;
using agent::AgentController;

constexpr int kWaitMs = 30'000;

size_t colours(const QImage& image) {
  QSet<QRgb> seen;
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < rgb.height(); ++y) {
    for (int x = 0; x < rgb.width(); ++x) seen.insert(rgb.pixel(x, y));
  }
  return static_cast<size_t>(seen.size());
}

// The window as the X server has it, taken again until `accept` holds (the
// first paint may not have reached the server yet), saved under `name`.
QImage screenshot(QWidget& window, const std::string& name, const std::function<bool(const fs::path&)>& accept) {
  const fs::path folder = VANTLE_SCREENS_DIR;
  fs::create_directories(folder);
  const fs::path file = folder / name;
  QImage image;
  // A screenshot that never comes good fails on the test's own checks.
  [[maybe_unused]] const bool good = QTest::qWaitFor(
      [&] {
        image = window.screen()->grabWindow(window.winId()).toImage();
        image.save(QString::fromStdString(file.string()), "PNG");
        return accept(file);
      },
      kWaitMs);
  return image;
}

TEST(MenuOnScreen, TheStatusWindowAndTheQrWindowAsTheXServerShowsThem) {
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");

  const AgentController::State state = testing::countingAgent();
  TrayMenu tray([](MenuAction, double) {}, false);
  tray.show(buildMenu(state, {}));
  QWidget* status = tray.statusWindow();
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->windowTitle(), "Orvane Live Agent");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(status, kWaitMs));
  // Background, text and the icon's colours at the least.
  const QImage statusShot = screenshot(*status, "status-window.png", [](const fs::path& file) {
    return colours(QImage(QString::fromStdString(file.string()))) >= 3;
  });
  EXPECT_EQ(statusShot.size(), status->size() * status->devicePixelRatio());
  EXPECT_GE(colours(statusShot), 3u) << "the status window is blank";

  QWidget* qr = QrWindow::show("042917");
  ASSERT_NE(qr, nullptr);
  EXPECT_EQ(qr->windowTitle(), "Pairing Code");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(qr, kWaitMs));
  const QImage qrShot = screenshot(*qr, "qr-window.png",
                                   [](const fs::path& file) { return testing::decodeQr(file) == "042917"; });
  EXPECT_EQ(testing::decodeQr(fs::path(VANTLE_SCREENS_DIR) / "qr-window.png"), "042917");
  EXPECT_EQ(qrShot.size(), QSize(300, 320) * qr->devicePixelRatio());
  // In the middle of the screen.
  EXPECT_LE((qr->geometry().center() - qr->screen()->availableGeometry().center()).manhattanLength(), 2);
  qr->close();
}

}  // namespace
}  // namespace vantle::app
