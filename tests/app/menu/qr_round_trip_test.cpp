// The pairing code as a QR code, read back by a real decoder: the window as
// it is drawn, and the code the headless agent prints in a terminal.
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/headless/terminal_qr.h"
#include "app/menu/qr_window.h"
#include "tests/app/menu/qr_decoder.h"
#include "tests/support/temp_folder.h"

namespace vantle::testing {
namespace {

using app::QrWindow;

std::string decodeWindow(QWidget& window, const TempFolder& folder, const std::string& name) {
  const auto file = folder / name;
  window.grab().save(QString::fromStdString(file.string()), "PNG");
  return decodeQr(file);
}

int shownPairingWindows() {
  int count = 0;
  for (const QWidget* window : QApplication::topLevelWidgets()) {
    count += window->isVisible() && window->windowTitle() == "Pairing Code";
  }
  return count;
}

TEST(PairingQr, TheWindowScansAsExactlyTheCodeAndShowingItAgainReplacesIt) {
  TempFolder folder;
  QPointer<QWidget> first = QrWindow::show("042917");
  ASSERT_TRUE(first);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(first, 30'000));
  EXPECT_EQ(first->windowTitle(), "Pairing Code");
  EXPECT_EQ(first->size(), QSize(300, 320));
  EXPECT_EQ(decodeWindow(*first, folder, "first.png"), "042917");
  EXPECT_EQ(first->findChild<QLabel*>("code")->text(), "042917");

  QPointer<QWidget> second = QrWindow::show("318204");
  ASSERT_TRUE(second);
  EXPECT_EQ(QrWindow::current(), second.data());
  EXPECT_TRUE(QTest::qWaitFor([&] { return first.isNull(); }, 10'000)) << "the first window was not closed";
  EXPECT_EQ(shownPairingWindows(), 1);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(second, 30'000));
  EXPECT_EQ(decodeWindow(*second, folder, "second.png"), "318204");

  second->close();
  EXPECT_TRUE(QTest::qWaitFor([&] { return second.isNull(); }, 10'000));
  EXPECT_EQ(QrWindow::current(), nullptr);
}

// The modules of a terminal QR code, read back from its escape sequences:
// each upper half block is two modules, the upper one its foreground colour
// and the lower one its background. A block must have both colours set
// explicitly (so it scans on dark and light terminals alike), and every line
// must end by resetting them; anything else is an error, in `error`.
std::vector<std::vector<bool>> terminalModules(const std::string& text, std::string& error) {
  constexpr std::string_view kUpperHalf = "\u2580";
  const auto fail = [&](std::string why) {
    error = std::move(why);
    return std::vector<std::vector<bool>>{};
  };
  std::vector<std::vector<bool>> rows;
  std::vector<bool> upper, lower;
  int foreground = -1, background = -1;  // -1: not set since the last reset; else 1 = dark
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, 2, "\x1b[") == 0) {
      const size_t end = text.find('m', i);
      if (end == std::string::npos) return fail("an unfinished escape sequence");
      const std::string code = text.substr(i + 2, end - i - 2);
      if (code == "30") foreground = 1;
      else if (code == "97") foreground = 0;
      else if (code == "40") background = 1;
      else if (code == "107") background = 0;
      else if (code == "0") foreground = background = -1;
      else return fail("an unexpected escape sequence: " + code);
      i = end + 1;
    } else if (text.compare(i, kUpperHalf.size(), kUpperHalf) == 0) {
      if (foreground < 0 || background < 0) return fail("a block without both colours set");
      upper.push_back(foreground == 1);
      lower.push_back(background == 1);
      i += kUpperHalf.size();
    } else if (text[i] == '\n') {
      if (foreground >= 0 || background >= 0) return fail("a line that does not reset its colours");
      if (!rows.empty() && upper.size() != rows.back().size()) return fail("lines of different widths");
      rows.push_back(std::move(upper));
      rows.push_back(std::move(lower));
      upper.clear();
      lower.clear();
      ++i;
    } else {
      return fail("an unexpected character at " + std::to_string(i));
    }
  }
  if (!upper.empty()) return fail("a last line without a line break");
  return rows;
}

TEST(PairingQr, TheTerminalQrCodeOfTheHeadlessAgentScansAsExactlyTheCode) {
  const std::string printed = app::terminalQr("123456");
  std::string error;
  const auto modules = terminalModules(printed, error);
  ASSERT_EQ(error, "");
  ASSERT_FALSE(modules.empty());

  // Eight pixels a module: a terminal cell is about twice as tall as wide,
  // so each half block is a square module on screen.
  constexpr int kScale = 8;
  const int width = static_cast<int>(modules.front().size());
  const int height = static_cast<int>(modules.size());
  QImage image(width * kScale, height * kScale, QImage::Format_RGB32);
  image.fill(Qt::white);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (!modules[static_cast<size_t>(y)][static_cast<size_t>(x)]) continue;
      for (int dy = 0; dy < kScale; ++dy) {
        for (int dx = 0; dx < kScale; ++dx) image.setPixel(x * kScale + dx, y * kScale + dy, qRgb(0, 0, 0));
      }
    }
  }
  TempFolder folder;
  const auto file = folder / "terminal.png";
  ASSERT_TRUE(image.save(QString::fromStdString(file.string()), "PNG"));
  EXPECT_EQ(decodeQr(file), "123456");
}

}  // namespace
}  // namespace vantle::testing
