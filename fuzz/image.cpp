// Fuzz target of picture reading: type sniffing and thumbnails. Nothing may
// crash or decode more pixels than the limit allows (the limit is read
// from the header, before any pixel); a thumbnail reported as written is
// a readable 70 by 55 PNG, and a failure always says why.
#include <cairo.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Data/DataUtil/KXResourceUtil.h"
#include "platform/FileSystem.h"

namespace {

const std::string& thumbnailPath() {
  static const std::string path = [] {
    char folder[] = "/tmp/zn-fuzz-image-XXXXXX";
    if (!::mkdtemp(folder)) std::abort();
    return std::string(folder) + "/thumbnail.png";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static KXResourceUtil* util = new KXResourceUtil(4'000'000);
  const kx::Bytes bytes(data, data + size);
  (void)util->mimetypeOfData(&bytes);

  const std::string& path = thumbnailPath();
  ::unlink(path.c_str());
  kx::Dictionary resource{{kKXResourceDataKey, kx::Value(bytes)}};
  kx::Error error;
  if (!util->generateImagePreview(resource, path, &error)) return 0;
  cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
  const bool readable = cairo_surface_status(png) == CAIRO_STATUS_SUCCESS &&
                        cairo_image_surface_get_width(png) == KXResourceUtil::kThumbnailWidth &&
                        cairo_image_surface_get_height(png) == KXResourceUtil::kThumbnailHeight;
  cairo_surface_destroy(png);
  if (!readable) std::abort();
  return 0;
}
