#include "app/headless/terminal_qr.h"

#include <qrencode.h>

#include <memory>

namespace vantle::app {
namespace {

constexpr int kQuietZone = 2;

}  // namespace

std::optional<std::vector<std::vector<bool>>> qrModules(const std::string& text) {
  const std::unique_ptr<QRcode, void (*)(QRcode*)> code(
      QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M), QRcode_free);
  if (!code) return std::nullopt;
  std::vector<std::vector<bool>> rows(static_cast<size_t>(code->width));
  for (int y = 0; y < code->width; ++y) {
    rows[static_cast<size_t>(y)].resize(static_cast<size_t>(code->width));
    for (int x = 0; x < code->width; ++x) {
      rows[static_cast<size_t>(y)][static_cast<size_t>(x)] = code->data[y * code->width + x] & 1;
    }
  }
  return rows;
}

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
