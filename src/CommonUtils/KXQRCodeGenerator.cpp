#include "CommonUtils/KXQRCodeGenerator.h"

#include <cmath>
#include <memory>

std::optional<KXQRCodeGenerator::Image> KXQRCodeGenerator::qrImageForString(const std::string& text,
                                                                            double imageSize) {
  if (text.empty() || !(imageSize >= 1) || imageSize > kMaxImageSize) return std::nullopt;
  std::unique_ptr<QRcode, void (*)(QRcode*)> code(
      QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_L, QR_MODE_8, 1), QRcode_free);
  if (!code) return std::nullopt;
  const int side = static_cast<int>(imageSize);
  Image image(side, side);
  drawQRCode(*code, image, static_cast<float>(side));
  return image;
}

void KXQRCodeGenerator::drawQRCode(const QRcode& code, Image& context, float size) {
  const int modules = code.width;
  if (modules <= 0 || size <= 0) return;
  const float a = size / static_cast<float>(modules + 6);
  for (int y = 0; y < context.height; ++y) {
    const int i = static_cast<int>(std::floor((static_cast<float>(y) + 0.5f) / a)) - 3;
    if (i < 0 || i >= modules) continue;
    for (int x = 0; x < context.width; ++x) {
      const int j = static_cast<int>(std::floor((static_cast<float>(x) + 0.5f) / a)) - 3;
      if (j < 0 || j >= modules) continue;
      if (!(code.data[i * modules + j] & 1)) continue;
      std::uint8_t* p =
          context.pixels.data() + (static_cast<std::size_t>(y) * context.width + x) * 4;
      p[0] = p[1] = p[2] = 0;  // black
      p[3] = 255;
    }
  }
}
