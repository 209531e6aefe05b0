#include "CommonUtils/KXQRCodeGenerator.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

std::unique_ptr<QRcode, void (*)(QRcode*)> encode(const std::string& text) {
  return {QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_L, QR_MODE_8, 1), QRcode_free};
}

bool dark(const KXQRCodeGenerator::Image& image, int x, int y) {
  const std::uint8_t* p = image.pixel(x, y);
  if (p[3] == 255 && p[0] == 0 && p[1] == 0 && p[2] == 0) return true;
  EXPECT_EQ(p[3], 0) << x << "," << y;  // light pixels stay fully transparent
  return false;
}

}  // namespace

TEST(KXQRCodeGeneratorTest, EveryModuleLandsOnItsSquare) {
  const std::string text = "https://note.example.com/s/AbC123?x=1";
  auto code = encode(text);
  ASSERT_TRUE(code);
  const int modules = code->width;
  const int a = 5;
  const double side = (modules + 6) * a;
  std::optional<KXQRCodeGenerator::Image> image =
      KXQRCodeGenerator::qrImageForString(text, side + 0.9);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width, static_cast<int>(side));
  ASSERT_EQ(image->height, static_cast<int>(side));
  for (int y = 0; y < image->height; ++y) {
    for (int x = 0; x < image->width; ++x) {
      const int i = y / a - 3;
      const int j = x / a - 3;
      const bool inside = i >= 0 && i < modules && j >= 0 && j < modules;
      const bool expected = inside && (code->data[i * modules + j] & 1);
      ASSERT_EQ(dark(*image, x, y), expected) << "pixel " << x << "," << y;
    }
  }
  // The finder pattern's corner is at the top left, after the quiet zone.
  EXPECT_TRUE(dark(*image, 3 * a, 3 * a));
  EXPECT_FALSE(dark(*image, 3 * a - 1, 3 * a - 1));
}

TEST(KXQRCodeGeneratorTest, NothingForEmptyTextOrUnusableSizes) {
  EXPECT_FALSE(KXQRCodeGenerator::qrImageForString("", 100));
  EXPECT_FALSE(KXQRCodeGenerator::qrImageForString("x", 0.5));
  EXPECT_FALSE(KXQRCodeGenerator::qrImageForString("x", -3));
  EXPECT_FALSE(KXQRCodeGenerator::qrImageForString("x", 1e12));
  // Too long for any symbol version.
  EXPECT_FALSE(KXQRCodeGenerator::qrImageForString(std::string(3000, 'x'), 200));
  // A side smaller than the symbol still gives an image of that side.
  std::optional<KXQRCodeGenerator::Image> tiny = KXQRCodeGenerator::qrImageForString("x", 10);
  ASSERT_TRUE(tiny);
  EXPECT_EQ(tiny->pixels.size(), 10u * 10u * 4u);
}
