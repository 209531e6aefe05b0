#include "CommonUtils/KXStringEncoding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace {

std::string bytes(std::initializer_list<unsigned char> list) {
  return std::string(list.begin(), list.end());
}

TEST(KXStringEncodingTest, ConvertsBothWays) {
  struct Case {
    std::uint64_t encoding;
    const char* text;
    std::string encoded;
  };
  const Case cases[] = {
      {kKXUTF8Encoding, "é", bytes({0xC3, 0xA9})},
      {kKXISOLatin1Encoding, "é", bytes({0xE9})},
      {kKXWindowsCP1252Encoding, "€", bytes({0x80})},
      {kKXMacOSRomanEncoding, "é", bytes({0x8E})},
      {kKXUTF16LittleEndianEncoding, "é€", bytes({0xE9, 0x00, 0xAC, 0x20})},
      {kKXUTF16BigEndianEncoding, "😀", bytes({0xD8, 0x3D, 0xDE, 0x00})},
      {kKXGB18030Encoding, "笔记", bytes({0xB1, 0xCA, 0xBC, 0xC7})},
      {kKXShiftJISEncoding, "日本", bytes({0x93, 0xFA, 0x96, 0x7B})},
      {kKXEUCKREncoding, "한", bytes({0xC7, 0xD1})},
      {kKXBig5Encoding, "繁", bytes({0xC1, 0x63})},
      // A shifting encoding: the closing shift back to ASCII is written.
      {kKXISO2022JPEncoding, "日本",
       bytes({0x1B, 0x24, 0x42, 0x46, 0x7C, 0x4B, 0x5C, 0x1B, 0x28, 0x42})},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(KXStringEncoding::isSupported(c.encoding)) << c.encoding;
    EXPECT_EQ(KXStringEncoding::fromUtf8(c.text, c.encoding), c.encoded) << c.encoding;
    EXPECT_EQ(KXStringEncoding::toUtf8(c.encoded, c.encoding), c.text) << c.encoding;
  }
  // Long text crosses the converter's buffer.
  const std::string longText(20000, 'x');
  EXPECT_EQ(
      KXStringEncoding::toUtf8(*KXStringEncoding::fromUtf8(longText, kKXUTF16BigEndianEncoding),
                               kKXUTF16BigEndianEncoding),
      longText);
}

TEST(KXStringEncodingTest, RefusesWhatCannotBeConverted) {
  EXPECT_FALSE(KXStringEncoding::isSupported(kKXRawEncoding));
  EXPECT_FALSE(KXStringEncoding::isSupported(0x12345));
  EXPECT_FALSE(KXStringEncoding::toUtf8("x", 0x12345).has_value());
  EXPECT_FALSE(KXStringEncoding::fromUtf8("x", 0x12345).has_value());
  EXPECT_FALSE(KXStringEncoding::toUtf8(bytes({0xE9}), kKXASCIIEncoding).has_value());
  EXPECT_FALSE(KXStringEncoding::toUtf8(bytes({0xE9}), kKXUTF8Encoding).has_value());
  EXPECT_FALSE(KXStringEncoding::toUtf8(bytes({0xB1}), kKXGB18030Encoding).has_value());  // cut
  EXPECT_FALSE(KXStringEncoding::fromUtf8("笔", kKXISOLatin1Encoding).has_value());
  // Ill-formed UTF-8 is written as U+FFFD.
  EXPECT_EQ(KXStringEncoding::fromUtf8(bytes({'a', 0xFF}), kKXUTF16BigEndianEncoding),
            bytes({0x00, 'a', 0xFF, 0xFD}));
}

}  // namespace
