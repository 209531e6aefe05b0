#include "CommonUtils/NSDataGZip.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <zlib.h>

#include <random>
#include <string>

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/TempAppRoot.h"

namespace {

using G = NSDataGZip;

kx::Bytes bytesOf(std::string_view s) { return kx::Bytes(s.begin(), s.end()); }

kx::Bytes randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  kx::Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen());
  return out;
}

kx::Bytes concat(kx::Bytes a, const kx::Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- Base64 ------------------------------------------------------------------

TEST(NSDataGZipTest, Base64BreaksFullLinesOnlyWhenMoreFollows) {
  struct Case {
    std::size_t bytes;
    std::size_t length;
    std::vector<std::size_t> breaks;  // offsets of "\r\n"
  };
  const Case cases[] = {
      {0, 0, {}},          {1, 4, {}},
      {48, 64, {}},        {49, 64 + 2 + 4, {64}},
      {96, 128 + 2, {64}}, {97, 128 + 4 + 4, {64, 130}},
  };
  for (const Case& c : cases) {
    const kx::Bytes data = randomBytes(c.bytes, 7);
    const std::string text = G::base64EncodedString(data);
    EXPECT_EQ(text.size(), c.length) << c.bytes;
    std::vector<std::size_t> breaks;
    for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2)
      breaks.push_back(at);
    EXPECT_EQ(breaks, c.breaks) << c.bytes;
    EXPECT_EQ(G::dataFromBase64String(text), data) << c.bytes;
  }
  EXPECT_EQ(G::base64EncodedString(bytesOf("中文")), "5Lit5paH");
}

TEST(NSDataGZipTest, Base64DecodingSkipsWhatIsNotInTheAlphabet) {
  struct Case {
    const char* text;
    const char* bytes;
  };
  const Case cases[] = {
      {"5Lit5paH", "中文"},
      {"5Lit\r\n5paH", "中文"},
      {" 5L it 5p aH ", "中文"},
      {"QQ==", "A"},
      {"QQ", "A"},       // a last group of two gives one byte
      {"QUI", "AB"},     // of three, two
      {"QUJDR", "ABC"},  // a single leftover character is dropped
      {"Q中Q", "A"},     // non-ASCII is skipped
      {"", ""},
      {"====", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(G::dataFromBase64String(c.text), bytesOf(c.bytes)) << c.text;
}

// ---- Whole-buffer compression ---------------------------------------------------

TEST(NSDataGZipTest, CompressesBehindABigEndianLengthHeader) {
  const kx::Bytes inputs[] = {
      kx::Bytes(),
      bytesOf("a"),
      bytesOf("笔记内容 😀 note content, repeated. 笔记内容 😀 note content, repeated."),
      kx::Bytes(300000, 'z'),
      randomBytes(70000, 3),
  };
  for (const kx::Bytes& in : inputs) {
    std::optional<kx::Bytes> packed = G::compressGZip(in);
    ASSERT_TRUE(packed);
    ASSERT_GE(packed->size(), 6u);
    const std::uint32_t header = (std::uint32_t((*packed)[0]) << 24) |
                                 (std::uint32_t((*packed)[1]) << 16) |
                                 (std::uint32_t((*packed)[2]) << 8) | (*packed)[3];
    EXPECT_EQ(header, in.size());
    EXPECT_EQ((*packed)[4], 0x78);  // a zlib stream
    EXPECT_EQ((*packed)[5], 0xDA);  // compressed at level 9
    EXPECT_EQ(G::decompressGZip(*packed), in) << in.size();
  }
  // Plain zlib can read the stream.
  std::optional<kx::Bytes> packed = G::compressGZip(bytesOf("中文"));
  kx::Bytes plain(6);
  uLongf plainLength = plain.size();
  ASSERT_EQ(uncompress(plain.data(), &plainLength, packed->data() + 4, packed->size() - 4), Z_OK);
  EXPECT_EQ(kx::Bytes(plain.begin(), plain.begin() + plainLength), bytesOf("中文"));
}

TEST(NSDataGZipTest, RefusesDamagedOrOversizedBuffers) {
  const kx::Bytes good = *G::compressGZip(kx::Bytes(5000, 'q'));
  auto withHeader = [&](std::uint32_t length) {
    kx::Bytes b = good;
    b[0] = std::uint8_t(length >> 24);
    b[1] = std::uint8_t(length >> 16);
    b[2] = std::uint8_t(length >> 8);
    b[3] = std::uint8_t(length);
    return b;
  };
  kx::Bytes damaged = good;
  damaged[8] ^= 0xff;
  struct Case {
    const char* what;
    kx::Bytes data;
  };
  const Case cases[] = {
      {"empty", {}},
      {"shorter than the header", {0, 0, 1}},
      {"header only", {0, 0, 0, 5}},
      {"header above 1 GiB", withHeader(0x40000000)},
      {"header smaller than the content", withHeader(4999)},
      {"truncated stream", kx::Bytes(good.begin(), good.end() - 3)},
      {"damaged stream", damaged},
      {"not zlib", concat({0, 0, 0, 3}, bytesOf("abc"))},
  };
  for (const Case& c : cases) EXPECT_FALSE(G::decompressGZip(c.data).has_value()) << c.what;
  EXPECT_EQ(G::decompressGZip(withHeader(0x3FFFFFFF))->size(), 5000u);  // a generous header is fine

  // A buffer the header cannot describe is refused before a byte is read.
  const std::size_t size = std::size_t(0x40000000);
  void* p = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  EXPECT_FALSE(G::compressGZip(kx::ByteView(p, size)).has_value());
  munmap(p, size);
}

// ---- Gzip files ------------------------------------------------------------------

class NSDataGZipFileTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) {
    return kx::Path::appendingPathComponent(root_.path(), name);
  }
  kx::Bytes read(const std::string& name) {
    kx::Bytes data;
    EXPECT_TRUE(kx::FileSystem::Default().readFile(path(name), &data, nullptr));
    return data;
  }
  void write(const std::string& name, const kx::Bytes& data) {
    ASSERT_TRUE(kx::FileSystem::Default().writeFile(path(name), data, nullptr));
  }

  kxtest::TempAppRoot root_;
};

TEST_F(NSDataGZipFileTest, WritesAndReadsGzipFiles) {
  const kx::Bytes inputs[] = {
      kx::Bytes(),
      bytesOf("一行中文 and emoji 😀\n"),
      randomBytes(300000, 11),  // spans several read chunks
      kx::Bytes(1 << 20, 'x'),
  };
  for (const kx::Bytes& in : inputs) {
    ASSERT_TRUE(G::writeToGZipFile(in, path("f.gz")));
    const kx::Bytes file = read("f.gz");
    ASSERT_GE(file.size(), 18u);
    EXPECT_EQ(file[0], 0x1f);
    EXPECT_EQ(file[1], 0x8b);
    EXPECT_EQ(file[8], 2);  // extra flags: maximum compression
    EXPECT_EQ(G::initWithGZipFile(path("f.gz")), in) << in.size();
  }
}

TEST_F(NSDataGZipFileTest, ReadsAsZlibsGzipReaderDoes) {
  const kx::Bytes one = bytesOf("第一段 first member\n");
  const kx::Bytes two = randomBytes(200000, 5);
  ASSERT_TRUE(G::writeToGZipFile(one, path("one.gz")));
  ASSERT_TRUE(G::writeToGZipFile(two, path("two.gz")));
  const kx::Bytes a = read("one.gz");
  const kx::Bytes b = read("two.gz");

  write("both.gz", concat(a, b));
  EXPECT_EQ(G::initWithGZipFile(path("both.gz")), concat(one, two));
  write("trailing.gz", concat(a, bytesOf("garbage after the member")));
  EXPECT_EQ(G::initWithGZipFile(path("trailing.gz")), one);
  write("plain.txt", bytesOf("不是 gzip"));
  EXPECT_EQ(G::initWithGZipFile(path("plain.txt")), bytesOf("不是 gzip"));
  write("empty", {});
  EXPECT_EQ(G::initWithGZipFile(path("empty")), kx::Bytes());

  // What gzopen/gzread make of the same files.
  for (const char* name : {"both.gz", "trailing.gz", "plain.txt"}) {
    gzFile f = gzopen(path(name).c_str(), "r");
    ASSERT_NE(f, nullptr);
    kx::Bytes viaZlib;
    unsigned char buffer[65536];
    for (int n; (n = gzread(f, buffer, sizeof(buffer))) > 0;)
      viaZlib.insert(viaZlib.end(), buffer, buffer + n);
    gzclose(f);
    EXPECT_EQ(G::initWithGZipFile(path(name)), viaZlib) << name;
  }
}

TEST_F(NSDataGZipFileTest, DamagedOrMissingFilesGiveNothing) {
  ASSERT_TRUE(G::writeToGZipFile(randomBytes(100000, 9), path("f.gz")));
  const kx::Bytes file = read("f.gz");
  write("cut.gz", kx::Bytes(file.begin(), file.begin() + file.size() / 2));
  EXPECT_FALSE(G::initWithGZipFile(path("cut.gz")).has_value());
  write("notrailer.gz", kx::Bytes(file.begin(), file.end() - 8));
  EXPECT_FALSE(G::initWithGZipFile(path("notrailer.gz")).has_value());
  kx::Bytes damaged = file;
  damaged[file.size() / 2] ^= 0xff;
  write("damaged.gz", damaged);
  EXPECT_FALSE(G::initWithGZipFile(path("damaged.gz")).has_value());

  kx::Error error;
  EXPECT_FALSE(G::initWithGZipFile(path("missing.gz"), &error).has_value());
  EXPECT_EQ(error.domain(), kx::kPosixErrorDomain);
  EXPECT_EQ(error.code(), ENOENT);
}

TEST_F(NSDataGZipFileTest, FailedWritesLeaveNoFileBehind) {
  const kx::Bytes data = randomBytes(400000, 13);
  struct Case {
    const char* what;
    kxtest::FaultInjectingFileSystem::Fault fault;
  };
  using Op = kxtest::FaultInjectingFileSystem::Op;
  const Case cases[] = {
      {"short write", {.op = Op::Append, .error = ENOSPC, .shortWrite = true}},
      {"second append fails", {.op = Op::Append, .skip = 1, .error = EIO}},
      {"close fails", {.op = Op::Close, .error = EIO}},
  };
  for (const Case& c : cases) {
    kxtest::FaultInjectingFileSystem fs;
    fs.inject(c.fault);
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    kx::Error error;
    EXPECT_FALSE(G::writeToGZipFile(data, path("f.gz"), &error)) << c.what;
    EXPECT_TRUE(error) << c.what;
    EXPECT_FALSE(kx::FileSystem::Posix().exists(path("f.gz"))) << c.what;
  }
  {
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = Op::OpenWrite, .error = EACCES});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    EXPECT_FALSE(G::writeToGZipFile(data, path("f.gz")));
  }
  {
    ASSERT_TRUE(G::writeToGZipFile(data, path("f.gz")));
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = Op::Read, .skip = 1, .error = EIO});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    kx::Error error;
    EXPECT_FALSE(G::initWithGZipFile(path("f.gz"), &error).has_value());
    EXPECT_EQ(error.code(), EIO);
  }
}

}  // namespace
