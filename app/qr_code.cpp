#include "app/qr_code.h"

#include <qrencode.h>

#include <memory>

namespace vantle::app {

std::optional<std::vector<std::vector<bool>>> qrModules(const std::string& text) {
  const std::unique_ptr<QRcode, void (*)(QRcode*)> code(QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M),
                                                        QRcode_free);
  if (!code) return std::nullopt;
  const size_t width = static_cast<size_t>(code->width);
  std::vector<std::vector<bool>> rows(width, std::vector<bool>(width));
  for (size_t y = 0; y < width; ++y) {
    for (size_t x = 0; x < width; ++x) rows[y][x] = code->data[y * width + x] & 1;
  }
  return rows;
}

}  // namespace vantle::app
