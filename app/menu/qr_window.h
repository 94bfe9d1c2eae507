// The QR windows: the pairing code as a QR code to scan and as text below,
// or the browser address as a QR code with the certificate's fingerprint
// below, for a careful user to compare with what the browser shows.
//
// One window at a time: showing one closes the one before. A window keeps
// what it was made with; after a new pairing code the user opens it again.
// GUI thread only.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

namespace vantle::app {

class QrWindow {
 public:
  // Closes the window shown before, if any, and shows a new one for `code`.
  static QWidget* show(const std::string& code);
  // Closes the window shown before, if any, and shows one for browsers.
  static QWidget* showBrowser(const std::string& address, const std::string& fingerprint);
  // The window shown now, or null.
  static QWidget* current();

  // The QR image of `code`, `scale` pixels a module with a white quiet zone
  // of four modules; a null image when it cannot be encoded.
  static QImage image(const std::string& code, int scale = 10);

 private:
  struct Caption {
    std::string text;
    std::string objectName;
    double scale;  // of the headline's size
  };
  // `height` 0 fits the contents.
  static QWidget* open(const char* title, const char* headline, const std::string& payload, int width,
                       const std::vector<Caption>& captions, int height);
  static QPointer<QWidget>& shown();
};

}  // namespace vantle::app
