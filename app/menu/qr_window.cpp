#include "app/menu/qr_window.h"

#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

#include "app/qr_code.h"

namespace vantle::app {
namespace {

constexpr int kQuietZone = 4;
constexpr int kWidth = 300;
constexpr int kHeight = 320;
constexpr int kImageSide = 200;

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
  if (QWidget* old = shown().data()) {
    old->close();
    old->deleteLater();
  }
  auto* window = new QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setWindowTitle("Pairing Code");
  window->setFixedSize(kWidth, kHeight);

  auto* layout = new QVBoxLayout(window);
  layout->setContentsMargins(16, 20, 16, 20);

  auto* headline = new QLabel("Scan to connect");
  QFont headlineFont = headline->font();
  headlineFont.setBold(true);
  headlineFont.setPointSizeF(headlineFont.pointSizeF() * 1.25);
  headline->setFont(headlineFont);
  headline->setAlignment(Qt::AlignCenter);
  layout->addWidget(headline);

  // Scaled without smoothing, so the modules stay sharp.
  auto* picture = new QLabel;
  picture->setObjectName("qr");
  picture->setPixmap(QPixmap::fromImage(image(code).scaled(kImageSide, kImageSide, Qt::KeepAspectRatio,
                                                           Qt::FastTransformation)));
  picture->setFixedSize(kImageSide, kImageSide);
  layout->addWidget(picture, 0, Qt::AlignCenter);

  auto* text = new QLabel(QString::fromStdString(code));
  text->setObjectName("code");
  QFont monospace = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  monospace.setPointSizeF(headlineFont.pointSizeF() * 1.4);
  text->setFont(monospace);
  text->setAlignment(Qt::AlignCenter);
  text->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(text);

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    window->move(screen->availableGeometry().center() - QPoint(kWidth / 2, kHeight / 2));
  }
  shown() = window;
  window->show();
  window->raise();
  window->activateWindow();
  return window;
}

}  // namespace vantle::app
