// The pairing QR window: the code as a QR code to scan, and as text below.
//
// One window at a time: showing it again closes the one before. A window
// keeps the code it was made with; after a new pairing code the user opens
// it again. GUI thread only.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <string>

namespace vantle::app {

class QrWindow {
 public:
  // Closes the window shown before, if any, and shows a new one for `code`.
  static QWidget* show(const std::string& code);
  // The window shown now, or null.
  static QWidget* current();

  // The QR image of `code`, `scale` pixels a module with a white quiet zone
  // of four modules; a null image when it cannot be encoded.
  static QImage image(const std::string& code, int scale = 10);

 private:
  static QPointer<QWidget>& shown();
};

}  // namespace vantle::app
