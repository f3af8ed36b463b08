#include "app/ui/PairingQRCode.h"

#include <qrencode.h>

#include <memory>

namespace corvane::app::ui {

std::optional<QImage> PairingQRCode::image(const std::string& code) {
  std::string payload = "corvane://pair?code=" + code;
  std::unique_ptr<QRcode, decltype(&QRcode_free)> symbol(
      QRcode_encodeData(static_cast<int>(payload.size()), reinterpret_cast<const unsigned char*>(payload.data()), 0,
                        QR_ECLEVEL_M),
      QRcode_free);
  if (!symbol || symbol->width <= 0) return std::nullopt;
  int width = symbol->width;
  QImage modules(width, width, QImage::Format_RGB32);
  for (int y = 0; y < width; ++y)
    for (int x = 0; x < width; ++x)
      modules.setPixel(x, y, (symbol->data[y * width + x] & 1) ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
  // Every module stays a sharp square: scaling without smoothing.
  return modules.scaled(width * scale, width * scale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

}  // namespace corvane::app::ui
