#include "app/headless/terminal_qr.h"

#include "app/qr_code.h"

namespace vantle::app {
namespace {

constexpr int kQuietZone = 4;  // modules of white around it, as scanners expect

}  // namespace

std::string terminalQr(const std::string& text) {
  const auto modules = qrModules(text);
  if (!modules) return {};
  const int size = static_cast<int>(modules->size());
  const auto dark = [&](int x, int y) {
    x -= kQuietZone;
    y -= kQuietZone;
    return x >= 0 && y >= 0 && x < size && y < size && (*modules)[static_cast<size_t>(y)][static_cast<size_t>(x)];
  };
  const int side = size + 2 * kQuietZone;
  std::string out;
  for (int y = 0; y < side; y += 2) {
    for (int x = 0; x < side; ++x) {
      // Foreground: the upper module; background: the lower one (30/40 black, 97/107 white).
      out += dark(x, y) ? "\x1b[30m" : "\x1b[97m";
      out += dark(x, y + 1) ? "\x1b[40m" : "\x1b[107m";
      out += "\u2580";
    }
    out += "\x1b[0m\n";
  }
  return out;
}

}  // namespace vantle::app
