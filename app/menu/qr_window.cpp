#include "app/menu/qr_window.h"

#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "app/qr_code.h"

namespace vantle::app {
namespace {

constexpr int kQuietZone = 4;
constexpr int kWidth = 300;
constexpr int kHeight = 320;
constexpr int kImageSide = 200;
constexpr int kBrowserWidth = 420;  // room for the address and the fingerprint

}  // namespace

QPointer<QWidget>& QrWindow::shown() {
  static QPointer<QWidget> window;
  return window;
}

QWidget* QrWindow::current() { return shown().data(); }

QImage QrWindow::image(const std::string& code, int scale) {
  const auto modules = qrModules(code);
  if (!modules) return {};
  const int size = static_cast<int>(modules->size());
  QImage image((size + 2 * kQuietZone) * scale, (size + 2 * kQuietZone) * scale, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      if ((*modules)[static_cast<size_t>(y)][static_cast<size_t>(x)]) {
        painter.fillRect((x + kQuietZone) * scale, (y + kQuietZone) * scale, scale, scale, Qt::black);
      }
    }
  }
  return image;
}

QWidget* QrWindow::show(const std::string& code) {
  return open("Pairing Code", "Scan to connect", code, kWidth, {{code, "code", 1.4}}, kHeight);
}

QWidget* QrWindow::showBrowser(const std::string& address, const std::string& fingerprint) {
  // The fingerprint in two lines of sixteen bytes, as browsers print it.
  std::string shownFingerprint = fingerprint;
  if (shownFingerprint.size() > 48) shownFingerprint.replace(47, 1, "\n");
  return open("Browser QR Code", "Scan to follow the shoot in a browser", address, kBrowserWidth,
              {{address, "address", 0.7},
               {"Certificate SHA-256", "fingerprint-label", 0.7},
               {shownFingerprint, "fingerprint", 0.6}},
              /*height=*/0);
}

QWidget* QrWindow::open(const char* title, const char* headlineText, const std::string& payload, int width,
                        const std::vector<Caption>& captions, int height) {
  if (QWidget* old = shown().data()) {
    old->close();
    old->deleteLater();
  }
  auto* window = new QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setWindowTitle(title);
  window->setFixedWidth(width);

  auto* layout = new QVBoxLayout(window);
  layout->setContentsMargins(16, 20, 16, 20);

  auto* headline = new QLabel(headlineText);
  QFont headlineFont = headline->font();
  headlineFont.setBold(true);
  headlineFont.setPointSizeF(headlineFont.pointSizeF() * 1.25);
  headline->setFont(headlineFont);
  headline->setAlignment(Qt::AlignCenter);
  headline->setWordWrap(true);
  layout->addWidget(headline);

  // Scaled without smoothing, so the modules stay sharp.
  auto* picture = new QLabel;
  picture->setObjectName("qr");
  picture->setPixmap(
      QPixmap::fromImage(image(payload).scaled(kImageSide, kImageSide, Qt::KeepAspectRatio, Qt::FastTransformation)));
  picture->setFixedSize(kImageSide, kImageSide);
  layout->addWidget(picture, 0, Qt::AlignCenter);

  for (const Caption& caption : captions) {
    auto* text = new QLabel(QString::fromStdString(caption.text));
    text->setObjectName(QString::fromStdString(caption.objectName));
    QFont monospace = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    monospace.setPointSizeF(headlineFont.pointSizeF() * caption.scale);
    text->setFont(monospace);
    text->setAlignment(Qt::AlignCenter);
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(text);
  }
  window->setFixedHeight(height > 0 ? height : std::max(kHeight, window->sizeHint().height()));

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    window->move(screen->availableGeometry().center() - QPoint(width / 2, window->height() / 2));
  }
  shown() = window;
  window->show();
  window->raise();
  window->activateWindow();
  return window;
}

}  // namespace vantle::app
