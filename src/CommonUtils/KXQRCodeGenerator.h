// KXQRCodeGenerator draws the QR code of a text as a square RGBA image, over
// libqrencode: the smallest symbol version that fits, error correction level
// L, 8-bit byte mode. The symbol gets a quiet zone of 3 modules on every
// side; dark modules are opaque black, the rest stays transparent.
//
// Thread safety: stateless; any thread.
#ifndef ZN_COMMONUTILS_KXQRCODEGENERATOR_H_
#define ZN_COMMONUTILS_KXQRCODEGENERATOR_H_

#include <qrencode.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class KXQRCodeGenerator {
 public:
  // A bitmap of 8 bits per component, RGB with premultiplied alpha last,
  // rows from the top, no padding between rows.
  struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width * height * 4

    Image(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h * 4, 0) {}
    const std::uint8_t* pixel(int x, int y) const {
      return pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
    }
  };

  // Largest side drawn, in pixels; larger requests answer nothing.
  static constexpr int kMaxImageSize = 8192;

  // The QR code of `text` on a square of side `imageSize` (truncated to whole
  // pixels). nullopt for an empty text, a text libqrencode cannot encode,
  // or a side below 1 or above kMaxImageSize.
  static std::optional<Image> qrImageForString(const std::string& text, double imageSize);

  // Fills the dark modules of `code` into `context`, a square of side `size`:
  // module side a = size / (width + 6), module (row i, column j) at
  // ((j + 3) a, (i + 3) a). A pixel is filled when its centre lies in a dark
  // module.
  static void drawQRCode(const QRcode& code, Image& context, float size);
};

#endif  // ZN_COMMONUTILS_KXQRCODEGENERATOR_H_
