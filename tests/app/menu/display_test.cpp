// The windows on a real X display (Xvfb, the xcb platform), as the X server
// holds them: the status window that carries the menu where there is no
// tray, and the pairing QR window, each saved as a screenshot for people to
// look at (in the build folder's screens/).
//
// Runs under an X server of its own (with-xvfb); ctest runs it that way.
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

// Takes the window as the X server has it, again until `accept` holds (the
// first paint may not have reached the server yet), saved under `name`;
// whether it came good, with the last image taken in `image`.
bool screenshot(QWidget& window, const std::string& name, QImage& image,
                const std::function<bool(const fs::path&)>& accept) {
  const fs::path folder = VANTLE_SCREENS_DIR;
  fs::create_directories(folder);
  const fs::path file = folder / name;
  return QTest::qWaitFor(
      [&] {
        image = window.screen()->grabWindow(window.winId()).toImage();
        image.save(QString::fromStdString(file.string()), "PNG");
        return accept(file);
      },
      kWaitMs);
}

// The QR window's screenshot scans as `code`.
std::function<bool(const fs::path&)> scansAs(const std::string& code) {
  return [code](const fs::path& file) { return testing::decodeQr(file) == code; };
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
  QImage shot;
  EXPECT_TRUE(screenshot(*status, "status-window.png", shot, [](const fs::path& file) {
    return colours(QImage(QString::fromStdString(file.string()))) >= 3;
  })) << "the status window is blank";
  EXPECT_EQ(shot.size(), status->size() * status->devicePixelRatio());

  QPointer<QWidget> qr = QrWindow::show("042917");
  ASSERT_TRUE(qr);
  EXPECT_EQ(qr->windowTitle(), "Pairing Code");
  EXPECT_EQ(qr->findChild<QLabel*>("code")->text(), "042917");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(qr, kWaitMs));
  EXPECT_TRUE(screenshot(*qr, "qr-window.png", shot, scansAs("042917")));
  EXPECT_EQ(shot.size(), QSize(300, 320) * qr->devicePixelRatio());
  // In the middle of the screen.
  EXPECT_LE((qr->geometry().center() - qr->screen()->availableGeometry().center()).manhattanLength(), 2);

  // A new code replaces the window rather than adding one.
  QPointer<QWidget> again = QrWindow::show("318204");
  ASSERT_TRUE(again);
  EXPECT_EQ(QrWindow::current(), again.data());
  EXPECT_TRUE(QTest::qWaitFor([&] { return qr.isNull(); }, kWaitMs)) << "the first window was not closed";
  ASSERT_TRUE(QTest::qWaitForWindowExposed(again, kWaitMs));
  EXPECT_TRUE(screenshot(*again, "qr-window-new-code.png", shot, scansAs("318204")));
  again->close();
  EXPECT_TRUE(QTest::qWaitFor([&] { return again.isNull(); }, kWaitMs));
  EXPECT_EQ(QrWindow::current(), nullptr);
}

}  // namespace
}  // namespace vantle::app
