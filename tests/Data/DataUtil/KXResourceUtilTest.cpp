#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXFont.h"
#include "CommonUtils/KXHeadlessErrorPresenter.h"
#include "CommonUtils/KXLogger.h"
#include "Data/DataUtil/KXResourceUtil.h"
#include "Data/client/KXFileManager.h"
#include "account/KXSession.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"

namespace {

using Op = kxtest::FaultInjectingFileSystem::Op;

// ---- Pictures made and read by the tests ---------------------------------------

// A decoded PNG: premultiplied ARGB pixels, row by row.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;

  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

struct PngReader {
  const std::string* bytes;
  std::size_t offset = 0;
  static cairo_status_t read(void* closure, unsigned char* data, unsigned int length) {
    auto* self = static_cast<PngReader*>(closure);
    if (self->bytes->size() - self->offset < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, self->bytes->data() + self->offset, length);
    self->offset += length;
    return CAIRO_STATUS_SUCCESS;
  }
};

// The PNG at `path`; width 0 when it is missing or not a PNG.
Picture readPng(const std::string& path) {
  Picture picture;
  std::string bytes;
  if (!kx::FileSystem::Posix().readFile(path, &bytes, nullptr)) return picture;
  PngReader reader{&bytes};
  cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(PngReader::read, &reader);
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
    cairo_surface_t* argb =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, cairo_image_surface_get_width(surface),
                                   cairo_image_surface_get_height(surface));
    cairo_t* cr = cairo_create(argb);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, surface, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(argb);
    picture.width = cairo_image_surface_get_width(argb);
    picture.height = cairo_image_surface_get_height(argb);
    const int stride = cairo_image_surface_get_stride(argb);
    const unsigned char* data = cairo_image_surface_get_data(argb);
    for (int y = 0; y < picture.height; ++y) {
      const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
      picture.pixels.insert(picture.pixels.end(), row, row + picture.width);
    }
    cairo_surface_destroy(argb);
  }
  cairo_surface_destroy(surface);
  return picture;
}

std::uint32_t argb(unsigned a, unsigned r, unsigned g, unsigned b) {
  return (a << 24) | (r << 16) | (g << 8) | b;
}
int channelDistance(std::uint32_t p, std::uint32_t q) {
  int most = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const int d = std::abs(int((p >> shift) & 255) - int((q >> shift) & 255));
    most = std::max(most, d);
  }
  return most;
}

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length) {
  auto* out = static_cast<kx::Bytes*>(closure);
  out->insert(out->end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

// An opaque PNG whose pixel colour is colour(x, y) (0xRRGGBB).
kx::Bytes makePng(int width, int height, const std::function<std::uint32_t(int, int)>& colour) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_surface_flush(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(data + y * stride);
    for (int x = 0; x < width; ++x) row[x] = 0xFF000000u | colour(x, y);
  }
  cairo_surface_mark_dirty(surface);
  kx::Bytes png;
  cairo_surface_write_to_png_stream(surface, appendBytes, &png);
  cairo_surface_destroy(surface);
  return png;
}

// The start of a BMP file whose info header says it is `infoSize` bytes.
kx::Bytes bmpInfoHeader(std::uint32_t infoSize) {
  kx::Bytes out = {'B', 'M', 0x76, 0x38, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0};
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(infoSize >> (8 * i)));
  out.resize(5000, 0xC8);
  return out;
}

// A PNG 1 pixel wide and `height` high (beyond what cairo draws), upper half
// one colour, lower half another.
kx::Bytes makeTallStripe(int height) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 1, height);
  guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  for (int y = 0; y < height; ++y) {
    guchar* p = pixels + static_cast<std::ptrdiff_t>(y) * stride;
    const bool upper = y < height / 2;
    p[0] = upper ? 0xC0 : 0x40;
    p[1] = 0x80;
    p[2] = upper ? 0x40 : 0xC0;
  }
  gchar* buffer = nullptr;
  gsize size = 0;
  EXPECT_TRUE(gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr));
  kx::Bytes out(buffer, buffer + size);
  g_free(buffer);
  g_object_unref(pixbuf);
  return out;
}

kx::Bytes makeJpeg(int width, int height) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      guchar* p = pixels + y * stride + x * 3;
      p[0] = static_cast<guchar>(x * 255 / width);
      p[1] = static_cast<guchar>(y * 255 / height);
      p[2] = 128;
    }
  }
  gchar* buffer = nullptr;
  gsize size = 0;
  gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr, "quality", "90", nullptr);
  kx::Bytes jpeg(reinterpret_cast<std::uint8_t*>(buffer),
                 reinterpret_cast<std::uint8_t*>(buffer) + size);
  g_free(buffer);
  g_object_unref(pixbuf);
  return jpeg;
}

// A PNG that declares width x height RGBA pixels: a valid header and the
// first bytes of image data, as a crafted file would start.
kx::Bytes makePngHeader(std::uint32_t width, std::uint32_t height) {
  kx::Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto put32 = [](kx::Bytes& b, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
  };
  auto chunk = [&](const char* type, const kx::Bytes& body) {
    put32(out, static_cast<std::uint32_t>(body.size()));
    kx::Bytes typed(type, type + 4);
    typed.insert(typed.end(), body.begin(), body.end());
    out.insert(out.end(), typed.begin(), typed.end());
    // CRC-32 of type and body.
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t byte : typed) {
      crc ^= byte;
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    put32(out, crc ^ 0xFFFFFFFFu);
  };
  kx::Bytes header;
  put32(header, width);
  put32(header, height);
  header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter, no interlace
  chunk("IHDR", header);
  chunk("IDAT", kx::Bytes{0x78, 0x9C, 0x62, 0x60, 0x00, 0x00});
  return out;
}

// ---- Fixture ---------------------------------------------------------------------

class KXResourceUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::MainQueue::shared().drain();
    presenter_ = std::make_shared<KXHeadlessErrorPresenter>();
    KXErrorPresenter::install(presenter_);
    KXSession::defaultSession().setCurrentUser("");
    // The file manager tells the logger where the user's folder is; log
    // into this test's folder, from an empty file.
    KXFileManager::defaultManauger();
    KXLogger::sharedLogger().reset();
  }
  void TearDown() override {
    kx::MainQueue::shared().drain();
    KXLogger::sharedLogger().drain();
    KXLogger::sharedLogger().reset();
    KXErrorPresenter::install(nullptr);
  }

  static kx::Dictionary card(const std::string& id, const std::string& title,
                             const std::string& mimeType = "application/pdf",
                             const std::string& extension = "") {
    return kx::Dictionary{{kKXResourceIDKey, kx::Value(id)},
                          {kKXResourceTitleKey, kx::Value(title)},
                          {kKXResourceFileTypeKey, kx::Value(mimeType)},
                          {kKXResourceExtensionKey, kx::Value(extension)},
                          {kKXResourceSizeKey, kx::Value(1536)},
                          {kKXResourceCreateTimeKey, kx::Value(1700000000)}};
  }
  static kx::Dictionary image(const std::string& id, kx::Bytes data) {
    return kx::Dictionary{{kKXResourceIDKey, kx::Value(id)},
                          {kKXResourceDataKey, kx::Value(std::move(data))}};
  }
  std::string scratch(const std::string& name) {
    const std::string folder = root_.path() + "/scratch";
    // Made by the first call; later calls find it there.
    kx::ignoreError(kx::FileSystem::Posix().createDirectory(folder, nullptr));
    return folder + "/" + name;
  }
  static std::string readText(const std::string& path) {
    std::string text;
    // A file not drawn reads as empty.
    kx::ignoreError(kx::FileSystem::Posix().readFile(path, &text, nullptr));
    return text;
  }
  std::string logText() {
    KXLogger::sharedLogger().drain();
    return readText(KXLogger::sharedLogger().logFilePath());
  }

  kxtest::TempAppRoot root_;
  std::shared_ptr<KXHeadlessErrorPresenter> presenter_;
  KXResourceUtil util_;
};

// ---- Names and places -------------------------------------------------------------

TEST_F(KXResourceUtilTest, BucketIsTheByteSumModuloTen) {
  struct Case {
    std::string id;
    int bucket;
  };
  const Case cases[] = {
      {std::string(12, 'd') + "\"", 4},  // 12 x 100 + 34 = 1234
      {"\xC3\xA9", 4},                   // é: 195 + 169 = 364, bytes read unsigned
      {"A", 5},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(util_.hashCodeFromResourceID(c.id), c.bucket) << c.id;
}

TEST_F(KXResourceUtilTest, CardAndThumbnailFilesLieInTheirBuckets) {
  const std::string user = kx::Places::applicationDataRoot() + "/EmptyUser";
  const kx::Dictionary resource{{kKXResourceIDKey, kx::Value("abc")}};  // 294 -> 4
  EXPECT_EQ(util_.fileURLforPreview(resource), user + "/Preivew/4/abc");
  EXPECT_EQ(util_.fileURLForThumbnail(resource), user + "/Thumbnail/4/abc");
  EXPECT_TRUE(kx::FileSystem::Posix().isDirectory(user + "/Preivew/4"));
  EXPECT_TRUE(kx::FileSystem::Posix().isDirectory(user + "/Thumbnail/4"));
  // An id from outside that is not one file name names no file.
  for (const char* id : {"", ".", "..", "../../escape", "a/b"}) {
    const kx::Dictionary bad{{kKXResourceIDKey, kx::Value(id)}};
    EXPECT_EQ(util_.fileURLforPreview(bad), "") << id;
    EXPECT_EQ(util_.fileURLForThumbnail(bad), "") << id;
  }
  EXPECT_EQ(util_.fileURLforPreview(kx::Dictionary{}), "");
}

TEST_F(KXResourceUtilTest, TagAttributesLoseQuotesAndBlanks) {
  const kx::Dictionary attributes = KXResourceUtil::attributesOfResourceTagData(
      "  id=\"res-1\"   type=\"image\"\n\tsrc=\"a b.png\"  width=\"30\"  ");
  EXPECT_EQ(attributes["id"], kx::Value("res-1"));
  EXPECT_EQ(attributes["type"], kx::Value("image"));
  EXPECT_EQ(attributes["width"], kx::Value("30"));
  // Quotes do not protect blanks: the value ends at the first one.
  EXPECT_EQ(attributes["src"], kx::Value("a"));
  EXPECT_EQ(attributes.size(), 4u);
  EXPECT_TRUE(KXResourceUtil::attributesOfResourceTagData("   ").empty());
}

TEST_F(KXResourceUtilTest, SniffsTypesWithoutParameters) {
  const kx::Bytes png = makePng(4, 4, [](int, int) { return 0x336699u; });
  const kx::Bytes text = {'p', 'l', 'a', 'i', 'n', ' ', 't', 'e', 'x', 't', '\n'};
  EXPECT_EQ(util_.mimetypeOfData(&png), "image/png");
  EXPECT_EQ(util_.mimetypeOfData(&text), "text/plain");  // libmagic adds "; charset=us-ascii"
  EXPECT_EQ(util_.mimetypeOfData(nullptr), "application/octet-stream");
  EXPECT_FALSE(util_.isEmbedResource(kx::Value("anything")));
}

TEST_F(KXResourceUtilTest, IconKindComesFromTheExtensionThenTheMimeType) {
  struct Case {
    const char* extension;
    const char* mimeType;
    const char* icon;
  };
  const Case cases[] = {
      {"docx", "", "document"},
      {"XLSX", "", "spreadsheet"},
      {"pptx", "", "presentation"},
      {"pdf", "", "pdf"},
      {"jpeg", "", "image"},
      {"mp3", "", "audio"},
      {"mov", "", "video"},
      {"7z", "", "archive"},
      {"txt", "", "text"},
      {"", "image/x-portable-anymap", "image"},
      {"bin", "video/x-unknown; q=1", "video"},
      {"", "application/pdf", "pdf"},
      {"", "", "generic"},
      {"xyz", "application/octet-stream", "generic"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KXResourceUtil::iconNameForFileType(c.extension, c.mimeType), c.icon)
        << c.extension << " " << c.mimeType;
  }
}

// ---- Cards ----------------------------------------------------------------------------

// The title line is checked on measured widths: it fits its 150 pixels
// with the dots, and one more character would not.
TEST_F(KXResourceUtilTest, CardTitleIsCutToItsRoomWithThreeDots) {
  const KXFont font("Times New Roman", 12);
  EXPECT_EQ(KXResourceUtil::cardTitleLine("Plan"), "Plan");
  EXPECT_EQ(KXResourceUtil::cardTitleLine(""), "");
  const std::string titles[] = {
      "Minutes of the annual meeting of the northern harbour association.pdf",
      "第三季度北方仓库扩建工程的会议记录和后续安排以及预算.docx",
  };
  for (const std::string& title : titles) {
    const std::string line = KXResourceUtil::cardTitleLine(title);
    SCOPED_TRACE(line);
    ASSERT_GT(line.size(), 3u);
    ASSERT_EQ(line.substr(line.size() - 3), "...");
    const std::string kept = line.substr(0, line.size() - 3);
    EXPECT_EQ(title.compare(0, kept.size(), kept), 0);
    EXPECT_LE(font.widthOfString(line), KXResourceUtil::kTitleWidth);
    std::size_t next = kept.size() + 1;
    while ((static_cast<unsigned char>(title[next]) & 0xC0) == 0x80) ++next;
    EXPECT_GT(font.widthOfString(title.substr(0, next) + "..."), KXResourceUtil::kTitleWidth);
  }
}

// A card decoded: its size, and where the background shows through.
TEST_F(KXResourceUtilTest, CardShowsIconAndTextOnTheBackground) {
  const std::string path = scratch("card");
  ASSERT_TRUE(util_.generateResourcePreview(card("r1", "Budget 2024"), path));
  const Picture picture = readPng(path);
  ASSERT_EQ(picture.width, 220);
  ASSERT_EQ(picture.height, 55);
  const Picture background =
      readPng(kx::Places::resourcesDirectory() + "/" + KXResourceUtil::kBackgroundResource);
  ASSERT_EQ(background.width, 220);

  auto inked = [&](int x, int y) {
    return channelDistance(picture.at(x, y), background.at(x, y)) > 40;
  };
  auto countInk = [&](int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) n += inked(x, y);
    return n;
  };
  // The icon fills much of its 36-pixel square (9 from the top, 8 from the left).
  EXPECT_GT(countInk(8, 9, 44, 45), 36 * 36 / 4);
  // Left of the icon, and above and below it, the background.
  EXPECT_EQ(countInk(0, 0, 8, 55), 0);
  EXPECT_EQ(countInk(0, 0, 50, 8), 0);
  EXPECT_EQ(countInk(0, 47, 50, 55), 0);
  // Title above its baseline at 21, details above theirs at 41; the rows
  // between the lines stay empty, as they would not with the lines swapped.
  EXPECT_GT(countInk(50, 8, 200, 22), 20);
  EXPECT_GT(countInk(50, 30, 200, 42), 20);
  EXPECT_EQ(countInk(50, 26, 220, 30), 0);
  // A short title leaves the right of its line empty.
  EXPECT_EQ(countInk(150, 0, 220, 26), 0);
  // The text has the card's colour (40, 56, 113) at its darkest.
  int closest = 255;
  for (int y = 8; y < 42; ++y)
    for (int x = 50; x < 200; ++x)
      closest = std::min(closest, channelDistance(picture.at(x, y), argb(255, 40, 56, 113)));
  EXPECT_LT(closest, 30);
}

TEST_F(KXResourceUtilTest, LongTitleInkStopsAtItsRoom) {
  const std::string path = scratch("long");
  ASSERT_TRUE(util_.generateResourcePreview(
      card("r2", "WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW"), path));
  const Picture picture = readPng(path);
  const Picture background =
      readPng(kx::Places::resourcesDirectory() + "/" + KXResourceUtil::kBackgroundResource);
  ASSERT_EQ(picture.width, 220);
  int rightmost = 0;
  for (int y = 8; y < 22; ++y)
    for (int x = 50; x < 220; ++x)
      if (channelDistance(picture.at(x, y), background.at(x, y)) > 40)
        rightmost = std::max(rightmost, x);
  EXPECT_GT(rightmost, 185);
  EXPECT_LE(rightmost, 50 + 150);
}

// Han characters are drawn from the CJK font, not as missing-glyph boxes.
TEST_F(KXResourceUtilTest, HanTitleIsDrawnAsGlyphs) {
  const KXFont font("Times New Roman", 12);
  KXFont::LayoutPtr layout = font.newLayout("会议记录");
  EXPECT_EQ(pango_layout_get_unknown_glyphs_count(layout.get()), 0);

  const std::string han = scratch("han");
  const std::string boxes = scratch("boxes");
  ASSERT_TRUE(util_.generateResourcePreview(card("r3", "会议记录"), han));
  ASSERT_TRUE(
      util_.generateResourcePreview(card("r3", "\U0010FFFD\U0010FFFD\U0010FFFD\U0010FFFD"), boxes));
  const Picture a = readPng(han);
  const Picture b = readPng(boxes);
  ASSERT_EQ(a.width, 220);
  ASSERT_EQ(b.width, 220);
  int differing = 0;
  for (int y = 8; y < 24; ++y)
    for (int x = 50; x < 120; ++x) differing += channelDistance(a.at(x, y), b.at(x, y)) > 40;
  EXPECT_GT(differing, 20);
}

// Every card is drawn on one surface: one card leaves nothing behind on
// the next, and cards asked for from several threads at once come out as
// each would alone.
TEST_F(KXResourceUtilTest, SharedSurfaceDrawsOneCardAtATime) {
  std::vector<kx::Dictionary> cards;
  for (int i = 0; i < 8; ++i) {
    cards.push_back(card("c" + std::to_string(i),
                         i % 2 ? "Short " + std::to_string(i)
                               : "A much longer attachment title number " + std::to_string(i),
                         i % 3 ? "application/pdf" : "image/png"));
  }
  // References, each drawn by a helper of its own on a fresh surface.
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < cards.size(); ++i) {
    KXResourceUtil fresh;
    const std::string path = scratch("ref" + std::to_string(i));
    ASSERT_TRUE(fresh.generateResourcePreview(cards[i], path));
    expected.push_back(readText(path));
  }

  constexpr int kThreads = 4;
  constexpr int kRounds = 5;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        const std::size_t i = static_cast<std::size_t>(t + round * kThreads) % cards.size();
        const std::string path = scratch("t" + std::to_string(t) + "-" + std::to_string(round));
        if (!util_.generateResourcePreview(cards[i], path) || readText(path) != expected[i]) {
          ++failures[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

TEST_F(KXResourceUtilTest, PreviewForResourceDrawsOnlyAMissingCard) {
  const kx::Dictionary resource = card("p1", "Contract");
  const std::string path = util_.fileURLforPreview(resource);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(util_.previewForResource(resource), path);
  EXPECT_EQ(readPng(path).width, 220);

  ASSERT_TRUE(kx::FileSystem::Posix().writeFile(path, std::string("kept"), nullptr));
  EXPECT_EQ(util_.previewForResource(resource), path);
  EXPECT_EQ(readText(path), "kept");
}

TEST_F(KXResourceUtilTest, QueuedRedrawsWriteTheirFiles) {
  const kx::Dictionary resource = card("q1", "Queued");
  const std::string cardPath = util_.fileURLforPreview(resource);
  util_.updatePreviewForResource(resource);
  EXPECT_TRUE(kxtest::pumpMainUntil([&] { return kx::FileSystem::Posix().exists(cardPath); }));
  EXPECT_EQ(readPng(cardPath).width, 220);

  const kx::Dictionary picture = image("q2", makePng(140, 110, [](int, int) { return 0x10A040u; }));
  util_.updatePreviewForImage(picture);
  ASSERT_TRUE(kxtest::waitForQueue(util_.previewQueue()));
  EXPECT_EQ(readPng(util_.fileURLForThumbnail(picture)).width, 70);
  EXPECT_TRUE(util_.updatePreviewForImageSync(picture));
  EXPECT_TRUE(util_.updatePreviewForResourceSync(resource));
}

TEST_F(KXResourceUtilTest, CopyNeverReplacesATarget) {
  const kx::Dictionary from = card("from", "Source");
  const kx::Dictionary to = card("to", "Target");
  EXPECT_FALSE(util_.copyPreivewFrom(from, to));  // no source yet
  const std::string source = util_.previewForResource(from);
  ASSERT_TRUE(util_.copyPreivewFrom(from, to));
  EXPECT_EQ(readText(util_.fileURLforPreview(to)), readText(source));

  ASSERT_TRUE(
      kx::FileSystem::Posix().writeFile(util_.fileURLforPreview(to), std::string("mine"), nullptr));
  EXPECT_FALSE(util_.copyPreivewFrom(from, to));
  EXPECT_EQ(readText(util_.fileURLforPreview(to)), "mine");
  EXPECT_NE(logText().find("card not copied"), std::string::npos);
}

// A failed write keeps the old card whole, and is logged, not presented.
TEST_F(KXResourceUtilTest, FailedCardWriteKeepsTheOldFileAndIsLogged) {
  const kx::Dictionary resource = card("w1", "First");
  const std::string path = util_.fileURLforPreview(resource);
  ASSERT_TRUE(util_.generateResourcePreview(resource, path));
  const std::string before = readText(path);
  logText();  // the log file is open before the faults come in

  kxtest::FaultInjectingFileSystem fs;
  // The rename of the writer's temporary into place fails.
  fs.inject({.op = Op::Rename, .pathContains = "/.writing/", .times = -1, .error = ENOSPC});
  {
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    kx::Error error;
    EXPECT_FALSE(util_.generateResourcePreview(card("w1", "Second"), path, &error));
    EXPECT_EQ(error.code(), ENOSPC);
  }
  EXPECT_EQ(readText(path), before);
  EXPECT_NE(logText().find("card not written"), std::string::npos);
  kx::MainQueue::shared().drain();
  EXPECT_TRUE(presenter_->presentedErrors().empty());
}

// ---- Thumbnails ----------------------------------------------------------------------

TEST_F(KXResourceUtilTest, ThumbnailsFillTheirCanvasCentred) {
  // Three bands: 35 red, 70 green, 35 blue. Only the green one shows.
  const kx::Bytes bands = makePng(140, 55, [](int x, int) {
    return x < 35 ? 0xFF0000u : x < 105 ? 0x00FF00u : 0x0000FFu;
  });
  const std::string wide = scratch("wide");
  ASSERT_TRUE(util_.generateImagePreview(image("t1", bands), wide));
  const Picture w = readPng(wide);
  ASSERT_EQ(w.width, 70);
  ASSERT_EQ(w.height, 55);
  for (int x : {0, 1, 34, 35, 68, 69}) {
    for (int y : {0, 27, 54}) EXPECT_EQ(w.at(x, y), argb(255, 0, 255, 0)) << x << "," << y;
  }

  // Taller than wide and 55 across: kept at its size, so it stands in the
  // middle with clear columns on both sides.
  const std::string tall = scratch("tall");
  ASSERT_TRUE(util_.generateImagePreview(
      image("t2", makePng(55, 140, [](int, int) { return 0x2040C0u; })), tall));
  const Picture t = readPng(tall);
  ASSERT_EQ(t.width, 70);
  EXPECT_EQ(t.at(0, 27) >> 24, 0u);
  EXPECT_EQ(t.at(69, 27) >> 24, 0u);
  EXPECT_EQ(t.at(35, 0), argb(255, 0x20, 0x40, 0xC0));
  EXPECT_EQ(t.at(35, 54), argb(255, 0x20, 0x40, 0xC0));

  // A picture 1 pixel wide and 100,000 high is kept at its size, taller
  // than a drawing surface may be: only the middle that shows is drawn.
  const std::string thin = scratch("thin");
  kx::Error error;
  ASSERT_TRUE(util_.generateImagePreview(image("t4", makeTallStripe(100000)), thin, &error))
      << error.localizedDescription();
  const Picture n = readPng(thin);
  ASSERT_EQ(n.width, 70);
  ASSERT_EQ(n.height, 55);
  EXPECT_EQ(n.at(34, 0), argb(255, 0xC0, 0x80, 0x40));
  EXPECT_EQ(n.at(34, 54), argb(255, 0x40, 0x80, 0xC0));
  EXPECT_EQ(n.at(33, 27) >> 24, 0u);
  EXPECT_EQ(n.at(35, 27) >> 24, 0u);

  // A photo shape is scaled down to the canvas' height and fills it.
  const std::string photo = scratch("photo");
  ASSERT_TRUE(util_.generateImagePreview(image("t3", makeJpeg(640, 360)), photo));
  const Picture p = readPng(photo);
  ASSERT_EQ(p.width, 70);
  ASSERT_EQ(p.height, 55);
  for (int x : {0, 69}) {
    for (int y : {0, 54}) EXPECT_EQ(p.at(x, y) >> 24, 255u) << x << "," << y;
  }
}

TEST_F(KXResourceUtilTest, SmallImagesAndMissingDataGetNoThumbnail) {
  struct Case {
    int width;
    int height;
    bool written;
  };
  const Case cases[] = {{60, 40, false}, {70, 55, false}, {71, 55, true}, {70, 56, true}};
  for (const Case& c : cases) {
    const std::string path =
        scratch("small" + std::to_string(c.width) + "x" + std::to_string(c.height));
    kx::Error error;
    EXPECT_EQ(util_.generateImagePreview(
                  image("s", makePng(c.width, c.height, [](int, int) { return 0x808080u; })), path,
                  &error),
              c.written)
        << c.width << "x" << c.height;
    EXPECT_EQ(kx::FileSystem::Posix().exists(path), c.written);
    EXPECT_FALSE(error) << error.localizedDescription();
  }
  const std::string path = scratch("nodata");
  kx::Error error;
  EXPECT_FALSE(
      util_.generateImagePreview(kx::Dictionary{{kKXResourceIDKey, kx::Value("n")}}, path, &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(kx::FileSystem::Posix().exists(path));
}

// Images that cannot or must not be read write nothing and report why.
TEST_F(KXResourceUtilTest, UnreadableAndOversizedImagesWriteNothing) {
  const kx::Bytes jpeg = makeJpeg(400, 300);
  const kx::Bytes png =
      makePng(300, 200, [](int x, int y) { return static_cast<std::uint32_t>(x * 7 + y); });
  const std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"400\" height=\"300\">"
      "<rect width=\"400\" height=\"300\" fill=\"red\"/></svg>";
  struct Case {
    const char* name;
    kx::Bytes data;
    std::int64_t code;
  };
  const std::string xpm =
      "/* XPM */\nstatic char*x[]={\"60000 60000 1 1\",\"a c #000\",\"aaaa\"};\n";
  const std::string ico("\0\0\1\0\1\0\x10\x10\0\0\1\0\x20\0", 14);
  const Case cases[] = {
      // A text format declaring 60000 x 60000: its loader decodes at the end
      // and only then tells the size.
      {"xpm", kx::Bytes(xpm.begin(), xpm.end()), kKXResourceUnreadableImageError},
      {"ico header", kx::Bytes(ico.begin(), ico.end()), kKXResourceUnreadableImageError},
      // A BMP whose info header claims 4 GB: its loader would make room first.
      {"bmp info header of 4 GB", bmpInfoHeader(0xFFFFFF28), kKXResourceUnreadableImageError},
      {"truncated jpeg", kx::Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 3),
       kKXResourceUnreadableImageError},
      {"truncated png", kx::Bytes(png.begin(), png.begin() + png.size() / 2),
       kKXResourceUnreadableImageError},
      {"header of 30000 x 30000", makePngHeader(30000, 30000), kKXResourceImageTooLargeError},
      {"header of 100000 x 1000", makePngHeader(100000, 1000), kKXResourceImageTooLargeError},
      {"jpeg without its last byte", kx::Bytes(jpeg.begin(), jpeg.end() - 1),
       kKXResourceUnreadableImageError},
      {"vector picture", kx::Bytes(svg.begin(), svg.end()), kKXResourceUnreadableImageError},
      {"not an image", kx::Bytes(5000, 0x5A), kKXResourceUnreadableImageError},
      {"empty", kx::Bytes(), kKXResourceUnreadableImageError},
  };
  for (const Case& c : cases) {
    const std::string path = scratch(std::string("bad-") + std::to_string(&c - cases));
    kx::Error error;
    EXPECT_FALSE(util_.generateImagePreview(image("b", c.data), path, &error)) << c.name;
    EXPECT_EQ(error.domain(), kKXResourceErrorDomain) << c.name;
    EXPECT_EQ(error.code(), c.code) << c.name << ": " << error.localizedDescription();
    EXPECT_FALSE(kx::FileSystem::Posix().exists(path)) << c.name;
  }
  EXPECT_NE(logText().find("no thumbnail for"), std::string::npos);
}

// The limit is read from the header: an image of more pixels than the
// helper allows is refused whole, one within it is read.
TEST_F(KXResourceUtilTest, PixelLimitComesFromTheHeader) {
  KXResourceUtil strict(20000);
  struct Case {
    kx::Bytes data;
    bool written;
  };
  const Case cases[] = {
      {makePng(200, 100, [](int, int) { return 0x112233u; }), true},   // 20,000 pixels
      {makePng(201, 100, [](int, int) { return 0x112233u; }), false},  // 20,100
      {makeJpeg(160, 126), false},                                     // 20,160
      {makeJpeg(160, 125), true},                                      // 20,000
  };
  for (const Case& c : cases) {
    const std::string path = scratch("limit" + std::to_string(&c - cases));
    kx::Error error;
    EXPECT_EQ(strict.generateImagePreview(image("l", c.data), path, &error), c.written);
    EXPECT_EQ(kx::FileSystem::Posix().exists(path), c.written);
    if (!c.written) {
      EXPECT_EQ(error.code(), kKXResourceImageTooLargeError);
    }
  }
}

}  // namespace
