#pragma once

#include <QImage>

#include <optional>
#include <string>

namespace corvane::app::ui {

// The QR symbol the phone app scans to pair this computer.
struct PairingQRCode {
  static constexpr int scale = 8;

  // The symbol of "corvane://pair?code=" + code at error-correction level M,
  // one module per scale x scale pixels, black on white; nothing when the
  // encoder fails.
  static std::optional<QImage> image(const std::string& code);
};

}  // namespace corvane::app::ui
