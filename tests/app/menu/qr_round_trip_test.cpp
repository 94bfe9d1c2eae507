// The pairing code the headless agent prints in a terminal as a QR code,
// read back by a real decoder. (The window's QR code is read back from the
// screen, under an X server: display_test.)
#include <QImage>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/headless/terminal_qr.h"
#include "tests/app/menu/menu_fixtures.h"
#include "tests/support/temp_folder.h"

namespace vantle::testing {
namespace {

// The modules of a terminal QR code, read back from its escape sequences:
// each upper half block is two modules, the upper one its foreground colour
// and the lower one its background. A block must have both colours set
// explicitly (so it scans on dark and light terminals alike), and every line
// must end by resetting them; anything else fails the test.
std::vector<std::vector<bool>> terminalModules(const std::string& text) {
  constexpr std::string_view kUpperHalf = "\u2580";
  const auto fail = [](const std::string& why) {
    ADD_FAILURE() << why;
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
      rows.push_back(std::exchange(upper, {}));
      rows.push_back(std::exchange(lower, {}));
      ++i;
    } else {
      return fail("an unexpected character at " + std::to_string(i));
    }
  }
  if (!upper.empty()) return fail("a last line without a line break");
  return rows;
}

TEST(PairingQr, TheTerminalQrCodeOfTheHeadlessAgentScansAsExactlyTheCode) {
  const auto modules = terminalModules(app::terminalQr("123456"));
  ASSERT_FALSE(modules.empty());

  // Eight pixels a module: a terminal cell is about twice as tall as wide,
  // so each half block is a square module on screen.
  constexpr int kScale = 8;
  const int width = static_cast<int>(modules.front().size());
  const int height = static_cast<int>(modules.size());
  QImage image(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) image.setPixel(x, y, modules[y][x] ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
  }
  TempFolder folder;
  const auto file = folder / "terminal.png";
  ASSERT_TRUE(image.scaled(width * kScale, height * kScale).save(QString::fromStdString(file.string()), "PNG"));
  EXPECT_EQ(decodeQr(file), "123456");
}

}  // namespace
}  // namespace vantle::testing
