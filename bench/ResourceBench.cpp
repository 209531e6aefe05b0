// Attachment cards and image thumbnails as the resource helper writes them:
//  - Card: 1,000 cards of different titles (Latin and Han, short and cut),
//    each drawn on the shared surface, encoded as PNG and written
//    atomically (temporary file, fsync, rename, fsync of the folder);
//  - Thumbnail: 1,000 thumbnails of 1920 x 1080 JPEGs (eight different
//    photos-like pictures, quality 90): header check, decode, scale to fill
//    70 x 55, centre on the canvas, encode, atomic write;
//  - Thumbnail/GdkPixbuf: the reference, gdk-pixbuf alone on the same JPEGs:
//    decode from memory, gdk_pixbuf_scale_simple to the same size with the
//    same filter, gdk_pixbuf_save as PNG (a plain write).
// One iteration is one item; each benchmark runs its 1,000 items five
// times, and the median of the five per-item means is the figure to read.
//
// HOME and the XDG folders point at a temporary folder while it runs.
// Run: bench_Resource [--benchmark_filter=Thumbnail]
#include <benchmark/benchmark.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchHome.h"
#include "BenchRandom.h"
#include "BenchRatio.h"
#include "CommonUtils/KXCommonUtil.h"
#include "Data/DataUtil/KXResourceUtil.h"

namespace {

constexpr int kItems = 1000;
constexpr int kPhotos = 8;

std::string gOut;  // folder the pictures are written to

// Smooth shapes with noise, so that the JPEG holds about as much detail as
// a photo of that size.
const std::vector<kx::Bytes>& Photos() {
  static const std::vector<kx::Bytes>* photos = [] {
    auto* out = new std::vector<kx::Bytes>;
    BenchRandom random(7);
    for (int p = 0; p < kPhotos; ++p) {
      GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 1920, 1080);
      guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
      const int stride = gdk_pixbuf_get_rowstride(pixbuf);
      const double fx = 0.002 + 0.001 * p, fy = 0.003 + 0.0007 * p;
      for (int y = 0; y < 1080; ++y) {
        for (int x = 0; x < 1920; ++x) {
          guchar* px = pixels + y * stride + x * 3;
          const int noise = static_cast<int>(random.below(24));
          px[0] = static_cast<guchar>(120 + 100 * std::sin(x * fx + p) + noise / 2);
          px[1] = static_cast<guchar>(120 + 100 * std::cos(y * fy) + noise / 3);
          px[2] = static_cast<guchar>(110 + 90 * std::sin((x + y) * 0.004) + noise / 2);
        }
      }
      gchar* buffer = nullptr;
      gsize size = 0;
      gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr, "quality", "90", nullptr);
      out->emplace_back(reinterpret_cast<std::uint8_t*>(buffer),
                        reinterpret_cast<std::uint8_t*>(buffer) + size);
      g_free(buffer);
      g_object_unref(pixbuf);
    }
    return out;
  }();
  return *photos;
}

std::vector<kx::Dictionary> Cards() {
  std::vector<kx::Dictionary> cards;
  const char* stems[] = {"Report", "第三季度会议记录", "Minutes of the annual meeting of the board",
                         "预算", "Photo"};
  const char* types[] = {"application/pdf", "application/msword", "image/png", "text/plain",
                         "application/zip"};
  for (int i = 0; i < kItems; ++i) {
    cards.push_back(kx::Dictionary{
        {kKXResourceIDKey, kx::Value("card" + std::to_string(i))},
        {kKXResourceTitleKey, kx::Value(std::string(stems[i % 5]) + " " + std::to_string(i))},
        {kKXResourceFileTypeKey, kx::Value(types[i % 5])},
        {kKXResourceExtensionKey, kx::Value("")},
        {kKXResourceSizeKey, kx::Value(1000 + 7919 * i)},
        {kKXResourceCreateTimeKey, kx::Value(1700000000 + 3600 * i)}});
  }
  return cards;
}

void BM_Card(benchmark::State& state) {
  KXResourceUtil util;
  const std::vector<kx::Dictionary> cards = Cards();
  std::size_t i = 0;
  for (auto _ : state) {
    const kx::Dictionary& card = cards[i++ % cards.size()];
    if (!util.generateResourcePreview(card, gOut + "/card" + std::to_string(i % kItems))) {
      state.SkipWithError("card not written");
      break;
    }
  }
}
BENCHMARK(BM_Card)
    ->Name("Resource/Card")
    ->Iterations(kItems)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

void BM_Thumbnail(benchmark::State& state) {
  KXResourceUtil util;
  std::vector<kx::Dictionary> images;
  for (const kx::Bytes& photo : Photos()) {
    images.push_back(kx::Dictionary{{kKXResourceIDKey, kx::Value("photo")},
                                    {kKXResourceDataKey, kx::Value(photo)}});
  }
  std::size_t i = 0;
  for (auto _ : state) {
    if (!util.generateImagePreview(images[i % images.size()],
                                   gOut + "/thumb" + std::to_string(i % kItems))) {
      state.SkipWithError("thumbnail not written");
      break;
    }
    ++i;
  }
}
BENCHMARK(BM_Thumbnail)
    ->Name("Resource/Thumbnail")
    ->Iterations(kItems)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

void BM_ThumbnailGdkPixbuf(benchmark::State& state) {
  const std::vector<kx::Bytes>& photos = Photos();
  std::size_t i = 0;
  for (auto _ : state) {
    const kx::Bytes& photo = photos[i % photos.size()];
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    gdk_pixbuf_loader_write(loader, photo.data(), photo.size(), nullptr);
    gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* image = gdk_pixbuf_loader_get_pixbuf(loader);
    const KXSize fit = KXCommonUtil::sizeFill(
        {double(gdk_pixbuf_get_width(image)), double(gdk_pixbuf_get_height(image))}, {70, 55});
    GdkPixbuf* scaled =
        gdk_pixbuf_scale_simple(image, int(fit.width), int(fit.height), GDK_INTERP_BILINEAR);
    const std::string path = gOut + "/ref" + std::to_string(i % kItems);
    if (!gdk_pixbuf_save(scaled, path.c_str(), "png", nullptr, nullptr)) {
      state.SkipWithError("reference not written");
    }
    g_object_unref(scaled);
    g_object_unref(loader);
    ++i;
  }
}
BENCHMARK(BM_ThumbnailGdkPixbuf)
    ->Name("Resource/Thumbnail/GdkPixbuf")
    ->Iterations(kItems)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

// Card has no baseline; it prints no ratio.
int main(int argc, char** argv) {
  std::vector<char*> args = znbench::WithRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  znbench::MedianReporter reporter;
  return znbench::RunInIsolatedHome(
      count, args.data(),
      [](const std::string& home) {
        gOut = home + "/out/0";
        std::filesystem::create_directories(gOut);
        Photos();  // made before any timing
      },
      [&] {
        reporter.printRatio("Resource/Thumbnail", "Resource/Thumbnail/iterations:1000/repeats:5",
                            "Resource/Thumbnail/GdkPixbuf/iterations:1000/repeats:5", "us");
      },
      &reporter);
}
