#include "CommonUtils/zip/ZZInflateInputStream.h"

#include <gtest/gtest.h>

#include "CommonUtils/zip/ZZDataInputStream.h"
#include "CommonUtils/zip/ZZError.h"
#include "CommonUtils/zip/ZipFixtures.h"

using namespace ziptest;

namespace {

kx::Bytes sample() {
  std::string s;
  for (int i = 0; i < 4000; ++i) s += "sample " + std::to_string(i * 31 % 97) + ";";
  return bytesOf(s);
}

std::unique_ptr<ZZInflateInputStream> inflating(const kx::Bytes& compressed) {
  return std::make_unique<ZZInflateInputStream>(
      std::make_unique<ZZDataInputStream>(ZZBytes(compressed)));
}

// Reads until 0 or -1; answers the bytes and the last read's result.
std::pair<kx::Bytes, ssize_t> readAll(ZZInputStream& stream, std::size_t piece) {
  stream.open();
  kx::Bytes out;
  std::vector<std::uint8_t> buffer(piece);
  ssize_t n;
  while ((n = stream.read(buffer.data(), buffer.size())) > 0)
    out.insert(out.end(), buffer.begin(), buffer.begin() + n);
  return {out, n};
}

}  // namespace

TEST(ZZInflateInputStreamTest, SmallAndLargeReadsGiveTheSameBytes) {
  const kx::Bytes plain = sample();
  const kx::Bytes compressed = deflateRaw(plain, 9);
  for (std::size_t piece : {1u, 2u, 100u, 65536u}) {
    auto stream = inflating(compressed);
    auto [out, last] = readAll(*stream, piece);
    EXPECT_EQ(last, 0) << piece;
    EXPECT_EQ(out, plain) << piece;
    EXPECT_EQ(stream->streamStatus(), ZZStreamStatus::AtEnd);
    stream->close();
    EXPECT_EQ(stream->streamStatus(), ZZStreamStatus::Closed);
  }
}

TEST(ZZInflateInputStreamTest, BlocksWithoutOutputDoNotLookLikeTheEnd) {
  // Thousands of empty stored blocks (5 bytes each, more than one upstream
  // read of 16 KiB) before the real data.
  kx::Bytes compressed;
  for (int i = 0; i < 5000; ++i) append(compressed, {0x00, 0x00, 0x00, 0xff, 0xff});
  const kx::Bytes plain = sample();
  append(compressed, deflateRaw(plain));
  auto stream = inflating(compressed);
  auto [out, last] = readAll(*stream, 4096);
  EXPECT_EQ(last, 0);
  EXPECT_EQ(out, plain);
}

TEST(ZZInflateInputStreamTest, DamagedOrShortInputIsAnError) {
  const kx::Bytes compressed = deflateRaw(sample());
  kx::Bytes garbage(200, 0xff);
  kx::Bytes cut(compressed.begin(), compressed.begin() + compressed.size() / 2);
  for (const kx::Bytes* input : {&garbage, &cut}) {
    auto stream = inflating(*input);
    auto [out, last] = readAll(*stream, 1000);
    EXPECT_EQ(last, -1);
    EXPECT_EQ(stream->streamStatus(), ZZStreamStatus::Error);
    EXPECT_EQ(stream->streamError().domain(), ZZErrorDomain);
    EXPECT_EQ(stream->streamError().code(), ZZDamagedDataErrorCode);
    // It stays failed.
    std::uint8_t b;
    EXPECT_EQ(stream->read(&b, 1), -1);
  }
}

TEST(ZZInflateInputStreamTest, OneStepInflationNeedsTheExactSize) {
  const kx::Bytes plain = sample();
  const kx::Bytes compressed = deflateRaw(plain);
  kx::Error error;
  EXPECT_EQ(ZZInflateInputStream::decompressData(compressed.data(), compressed.size(), plain.size(),
                                                 &error),
            plain);
  EXPECT_EQ(
      ZZInflateInputStream::decompressData(deflateRaw({}).data(), deflateRaw({}).size(), 0, &error),
      kx::Bytes());
  for (std::size_t size : {plain.size() - 1, plain.size() + 1, std::size_t{0}}) {
    EXPECT_FALSE(
        ZZInflateInputStream::decompressData(compressed.data(), compressed.size(), size, &error))
        << size;
    EXPECT_EQ(error.code(), ZZDamagedDataErrorCode);
  }
  EXPECT_FALSE(ZZInflateInputStream::decompressData(compressed.data(), compressed.size() - 3,
                                                    plain.size(), &error));
}
