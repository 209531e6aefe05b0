#include "Data/DataUtil/KXResourceUtil.h"

#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "CommonUtils/KXCommonUtil.h"
#include "CommonUtils/KXFont.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXSizeUtil.h"
#include "CommonUtils/KXWritersTemporaryDirectory.h"
#include "CommonUtils/MagicKit/GEMagicKit.h"
#include "CommonUtils/NSDictionaryKXHelper.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/DataUtil/KXMimeTypes.h"
#include "Data/client/KXFileManager.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "platform/Text.h"
#include "platform/Time.h"

namespace {

constexpr const char* kTitleFontFamily = "Times New Roman";
constexpr double kFontPixelSize = 12;
constexpr double kTextRed = 40 / 255.0;
constexpr double kTextGreen = 56 / 255.0;
constexpr double kTextBlue = 113 / 255.0;
constexpr const char* kDatePattern = "%Y/%m/%d %H:%M";  // yyyy/MM/dd HH:mm
constexpr const char* kEllipsis = "...";

// Card geometry with the origin at the top left (the layout is given from
// the bottom left: icon at y 10, title baseline at y 34, date line at y 14).
constexpr double kIconX = 8;
constexpr double kIconSide = 36;
constexpr double kIconTop = KXResourceUtil::kCardHeight - 10 - kIconSide;
constexpr double kTextX = 50;
constexpr double kTitleBaseline = KXResourceUtil::kCardHeight - 34;
constexpr double kDetailBaseline = KXResourceUtil::kCardHeight - 14;

// Image data is handed to the decoder in pieces of this size, so that a
// refused header stops the reading early.
constexpr std::size_t kDecodeChunk = 64 * 1024;

// Formats the thumbnails read: bitmaps. Vector formats (SVG), text formats
// (XPM, which decodes everything before it tells its size) and the rarer
// loaders are left out.
bool IsBitmapFormat(std::string_view name) {
  static const std::array<std::string_view, 6> kFormats = {"png", "jpeg", "gif",
                                                           "bmp", "tiff", "webp"};
  return std::find(kFormats.begin(), kFormats.end(), name) != kFormats.end();
}

// The loader for the bytes, told by their signature; nullptr for any other
// data. The loader is chosen here rather than by gdk-pixbuf's own guess, so
// that no other loader ever sees the data.
const char* BitmapLoaderFor(const kx::Bytes& data) {
  auto startsWith = [&](std::size_t at, std::string_view magic) {
    return data.size() >= at + magic.size() &&
           std::memcmp(data.data() + at, magic.data(), magic.size()) == 0;
  };
  if (startsWith(0, "\x89PNG\r\n\x1A\n")) return "png";
  if (startsWith(0, "\xFF\xD8\xFF")) return "jpeg";
  if (startsWith(0, "GIF87a") || startsWith(0, "GIF89a")) return "gif";
  if (startsWith(0, "RIFF") && startsWith(8, "WEBP")) return "webp";
  if (startsWith(0, "BM")) {
    // The BMP loader makes room for the declared info header before it
    // reads the picture's size: only the sizes of the known headers pass.
    if (data.size() < 18) return nullptr;
    const std::uint32_t infoSize = data[14] | (data[15] << 8) | (data[16] << 16) |
                                   (static_cast<std::uint32_t>(data[17]) << 24);
    static const std::array<std::uint32_t, 8> kInfoSizes = {12, 16, 40, 52, 56, 64, 108, 124};
    if (std::find(kInfoSizes.begin(), kInfoSizes.end(), infoSize) == kInfoSizes.end()) {
      return nullptr;
    }
    return "bmp";
  }
  if (startsWith(0, std::string_view("II*\0", 4)) || startsWith(0, std::string_view("MM\0*", 4))) {
    return "tiff";
  }
  return nullptr;
}

kx::Error ResourceError(std::int64_t code, std::string description) {
  return kx::Error::make(kKXResourceErrorDomain, code, std::move(description));
}

template <class T>
struct GObjectDeleter {
  void operator()(T* object) const {
    if (object) g_object_unref(object);
  }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter<T>>;

struct CairoDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using CairoPtr = std::unique_ptr<cairo_t, CairoDeleter>;
struct SurfaceOwner {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using OwnedSurface = std::unique_ptr<cairo_surface_t, SurfaceOwner>;

// ---- PNG in and out -----------------------------------------------------------

cairo_status_t AppendToString(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

[[nodiscard]] bool EncodePng(cairo_surface_t* surface, std::string* png, kx::Error* error) {
  png->clear();
  const cairo_status_t status = cairo_surface_write_to_png_stream(surface, AppendToString, png);
  if (status != CAIRO_STATUS_SUCCESS) {
    kx::SetError(error, ResourceError(kKXResourceEncodeError, cairo_status_to_string(status)));
    return false;
  }
  return true;
}

struct PngSource {
  const std::string* bytes;
  std::size_t offset = 0;
};

cairo_status_t ReadFromString(void* closure, unsigned char* data, unsigned int length) {
  auto* source = static_cast<PngSource*>(closure);
  if (source->bytes->size() - source->offset < length) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(data, source->bytes->data() + source->offset, length);
  source->offset += length;
  return CAIRO_STATUS_SUCCESS;
}

// A shipped picture, read through the file system; nullptr (and *error)
// when it is missing or not a PNG.
OwnedSurface LoadShippedPng(const std::string& relativePath, kx::Error* error) {
  const std::string path =
      kx::Path::appendingPathComponent(kx::Places::resourcesDirectory(), relativePath);
  std::string bytes;
  kx::Error readError;
  if (!kx::FileSystem::Default().readFile(path, &bytes, &readError)) {
    kx::SetError(error, ResourceError(kKXResourceMissingPictureError,
                                      path + ": " + readError.localizedDescription()));
    return nullptr;
  }
  PngSource source{&bytes};
  OwnedSurface surface(cairo_image_surface_create_from_png_stream(ReadFromString, &source));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
    kx::SetError(
        error,
        ResourceError(kKXResourceMissingPictureError,
                      path + ": " + cairo_status_to_string(cairo_surface_status(surface.get()))));
    return nullptr;
  }
  return surface;
}

// Paints `picture` scaled into the rectangle.
void PaintScaled(cairo_t* cr, cairo_surface_t* picture, double x, double y, double width,
                 double height) {
  const int pictureWidth = cairo_image_surface_get_width(picture);
  const int pictureHeight = cairo_image_surface_get_height(picture);
  if (pictureWidth <= 0 || pictureHeight <= 0) return;
  cairo_save(cr);
  cairo_rectangle(cr, x, y, width, height);
  cairo_clip(cr);
  cairo_translate(cr, x, y);
  cairo_scale(cr, width / pictureWidth, height / pictureHeight);
  cairo_set_source_surface(cr, picture, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_paint(cr);
  cairo_restore(cr);
}

// ---- Reading bitmaps ------------------------------------------------------------

struct DecodeState {
  std::uint64_t maxPixels = 0;
  int width = 0;
  int height = 0;
  int rowsDecoded = 0;  // the lowest row reached by the decoder so far
  bool isJpeg = false;
  bool refused = false;
  kx::Error error;
};

// The loader reports the image's size (from its header) before it makes the
// pixel buffer. Setting the size to 0 by 0 tells it not to make one; the
// reading then also stops.
void OnSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer user) {
  auto* state = static_cast<DecodeState*>(user);
  state->width = width;
  state->height = height;
  GdkPixbufFormat* format = gdk_pixbuf_loader_get_format(loader);
  gchar* formatName = format ? gdk_pixbuf_format_get_name(format) : nullptr;
  const std::string name = formatName ? formatName : "unknown";
  g_free(formatName);
  state->isJpeg = name == "jpeg";
  if (!IsBitmapFormat(name)) {
    state->refused = true;
    state->error = ResourceError(kKXResourceUnreadableImageError, "not a bitmap format: " + name);
  } else if (width <= 0 || height <= 0 ||
             static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) >
                 state->maxPixels) {
    state->refused = true;
    state->error = ResourceError(kKXResourceImageTooLargeError,
                                 "image of " + kx::Text::toString(width) + " x " +
                                     kx::Text::toString(height) + " pixels is too large");
  }
  if (state->refused) gdk_pixbuf_loader_set_size(loader, 0, 0);
}

// Decoders report each stretch of rows they have filled in. A file cut
// short leaves the rows below the cut unfilled, and the loaders do not
// report that as an error (they answer a picture padded with grey).
void OnAreaUpdated(GdkPixbufLoader*, int x, int y, int width, int height, gpointer user) {
  (void)x;
  (void)width;
  auto* state = static_cast<DecodeState*>(user);
  state->rowsDecoded = std::max(state->rowsDecoded, y + height);
}

// Whether JPEG data runs to its end-of-image marker. The JPEG loader pads a
// file cut short with grey rows and reports every row as read, so the cut
// is found here: the marker segments are walked from the start (the
// segments of a thumbnail inside the metadata are skipped whole), and the
// compressed data after each start-of-scan is passed over (a 0xFF byte in
// it is followed by 0x00 or a restart number).
bool JpegRunsToItsEnd(const kx::Bytes& data) {
  const std::size_t n = data.size();
  if (n < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
  std::size_t i = 2;
  while (i + 1 < n) {
    if (data[i] != 0xFF) return false;
    const std::uint8_t marker = data[i + 1];
    if (marker == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    i += 2;
    if (marker == 0xD9) return true;                                     // end of image
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    if (i + 1 >= n) return false;
    const std::size_t length = (std::size_t(data[i]) << 8) | data[i + 1];
    if (length < 2 || i + length > n) return false;
    i += length;
    if (marker != 0xDA) continue;
    // Compressed data of the scan, up to the next marker.
    while (i + 1 < n && !(data[i] == 0xFF && data[i + 1] != 0x00 &&
                          !(data[i + 1] >= 0xD0 && data[i + 1] <= 0xD7))) {
      ++i;
    }
  }
  return false;
}

// The first picture of the bytes, turned as its orientation tag says;
// nullptr (and *error) when it cannot be read or is refused.
GObjectPtr<GdkPixbuf> DecodeBitmap(const kx::Bytes& bytes, std::uint64_t maxPixels,
                                   kx::Error* error) {
  DecodeState state;
  state.maxPixels = maxPixels;
  const char* type = BitmapLoaderFor(bytes);
  if (!type) {
    kx::SetError(error, ResourceError(kKXResourceUnreadableImageError, "not a bitmap format"));
    return nullptr;
  }
  GError* missing = nullptr;
  GObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new_with_type(type, &missing));
  if (!loader) {
    kx::SetError(error, ResourceError(kKXResourceUnreadableImageError,
                                      std::string("no reader for ") + type + ": " +
                                          (missing ? missing->message : "unknown")));
    if (missing) g_error_free(missing);
    return nullptr;
  }
  g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(OnSizePrepared), &state);
  g_signal_connect(loader.get(), "area-updated", G_CALLBACK(OnAreaUpdated), &state);

  GError* failure = nullptr;
  bool ok = true;
  for (std::size_t offset = 0; ok && !state.refused && offset < bytes.size();
       offset += kDecodeChunk) {
    const std::size_t length = std::min(kDecodeChunk, bytes.size() - offset);
    ok = gdk_pixbuf_loader_write(loader.get(), bytes.data() + offset, length, &failure);
  }
  // Closing is needed in every case (the loader complains when it is
  // dropped open); after a failure its answer adds nothing.
  GError* closeFailure = nullptr;
  const bool closed = gdk_pixbuf_loader_close(loader.get(), ok ? &closeFailure : nullptr);
  if (state.refused) {
    if (failure) g_error_free(failure);
    if (closeFailure) g_error_free(closeFailure);
    kx::SetError(error, state.error);
    return nullptr;
  }
  if (!ok || !closed) {
    GError* reported = failure ? failure : closeFailure;
    kx::SetError(error, ResourceError(kKXResourceUnreadableImageError,
                                      reported ? reported->message : "unreadable image"));
    if (failure) g_error_free(failure);
    if (closeFailure) g_error_free(closeFailure);
    return nullptr;
  }
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader.get());
  if (!pixbuf) {
    kx::SetError(error, ResourceError(kKXResourceUnreadableImageError, "no picture in the data"));
    return nullptr;
  }
  if (state.rowsDecoded < gdk_pixbuf_get_height(pixbuf) ||
      (state.isJpeg && !JpegRunsToItsEnd(bytes))) {
    kx::SetError(error,
                 ResourceError(kKXResourceUnreadableImageError, "the image data is cut short"));
    return nullptr;
  }
  // The oriented copy (or the picture itself) with a reference of our own.
  return GObjectPtr<GdkPixbuf>(gdk_pixbuf_apply_embedded_orientation(pixbuf));
}

// A cairo surface (premultiplied native-endian ARGB) with the pixbuf's
// pixels.
OwnedSurface SurfaceFromPixbuf(const GdkPixbuf* pixbuf) {
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
  const int sourceStride = gdk_pixbuf_get_rowstride(pixbuf);
  const guchar* source = gdk_pixbuf_read_pixels(pixbuf);

  OwnedSurface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return surface;
  cairo_surface_flush(surface.get());
  unsigned char* target = cairo_image_surface_get_data(surface.get());
  const int targetStride = cairo_image_surface_get_stride(surface.get());
  for (int y = 0; y < height; ++y) {
    const guchar* in = source + static_cast<std::ptrdiff_t>(y) * sourceStride;
    auto* out =
        reinterpret_cast<std::uint32_t*>(target + static_cast<std::ptrdiff_t>(y) * targetStride);
    for (int x = 0; x < width; ++x, in += channels) {
      std::uint32_t r = in[0], g = in[1], b = in[2], a = alpha ? in[3] : 255;
      if (a != 255) {  // premultiply, rounding
        r = (r * a + 127) / 255;
        g = (g * a + 127) / 255;
        b = (b * a + 127) / 255;
      }
      out[x] = (a << 24) | (r << 16) | (g << 8) | b;
    }
  }
  cairo_surface_mark_dirty(surface.get());
  return surface;
}

// ---- Files ---------------------------------------------------------------------

bool IsOneFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// Writes the picture through a temporary in the writers' own folder.
[[nodiscard]] bool WritePicture(const std::string& path, const std::string& png, kx::Error* error) {
  return kx::FileSystem::Default().writeFileAtomically(path, png,
                                                       KXWritersTemporaryDirectoryFor(path), error);
}

const KXFont& CardFont() {
  static const KXFont* font = new KXFont(kTitleFontFamily, kFontPixelSize);
  return *font;
}

}  // namespace

// ---------------------------------------------------------------------------

void KXResourceUtil::SurfaceDeleter::operator()(cairo_surface_t* surface) const {
  cairo_surface_destroy(surface);
}

KXResourceUtil& KXResourceUtil::sharedUtil() {
  static KXResourceUtil* util = new KXResourceUtil();
  return *util;
}

KXResourceUtil::KXResourceUtil(std::uint64_t maxImagePixels) : maxImagePixels_(maxImagePixels) {}

KXResourceUtil::~KXResourceUtil() {
  // Queued thumbnails still refer to this object.
  previewQueue_.sync([] {});
}

kx::Dictionary KXResourceUtil::attributesOfResourceTagData(std::string_view text) {
  // White space and line breaks, as the platform's set of them.
  static const std::string kWhitespace =
      " \t\n\r\v\f\u0085\u00A0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008"
      "\u2009\u200A\u2028\u2029\u202F\u205F\u3000";
  const std::u32string set = kx::Text::toUtf32(kWhitespace);
  std::u32string chars = kx::Text::toUtf32(text);
  auto blank = [&](char32_t c) { return set.find(c) != std::u32string::npos; };
  while (!chars.empty() && blank(chars.back())) chars.pop_back();
  std::size_t first = 0;
  while (first < chars.size() && blank(chars[first])) ++first;
  std::u32string trimmed = chars.substr(first);
  std::erase(trimmed, U'"');
  return NSDictionaryKXHelper::dictionaryWithFormatedStringCharacterSet(
      kx::Text::fromUtf32(trimmed), kWhitespace, "=");
}

int KXResourceUtil::hashCodeFromResourceID(std::string_view resourceId) const {
  unsigned sum = 0;
  for (char c : resourceId) sum += static_cast<unsigned char>(c);
  return static_cast<int>(sum % 10);
}

std::string KXResourceUtil::fileURLIn(const kx::Dictionary& resource, bool thumbnail) {
  const kx::Value* id = resource.find(kKXResourceIDKey);
  const std::string resourceId = id ? id->stringValue() : std::string();
  if (!IsOneFileName(resourceId)) {
    KXLOG("no file for resource id \"%s\"", resourceId.c_str());
    return {};
  }
  KXFileManager& files = KXFileManager::defaultManauger();
  const long bucket = hashCodeFromResourceID(resourceId);
  const std::string folder = thumbnail
                                 ? files.URLForCurrentUserThumbnailDictoryWithSubDirectory(bucket)
                                 : files.URLForCurrentUserPreviewDictoryWithSubDirectory(bucket);
  if (folder.empty()) return {};
  return kx::Path::appendingPathComponent(folder, resourceId);
}

std::string KXResourceUtil::fileURLforPreview(const kx::Dictionary& resource) {
  return fileURLIn(resource, false);
}

std::string KXResourceUtil::fileURLForThumbnail(const kx::Dictionary& resource) {
  return fileURLIn(resource, true);
}

// ---- Card ------------------------------------------------------------------------

bool KXResourceUtil::createGraphicsContext() {
  kx::MutexLock lock(cardMu_);
  kx::Error error;
  if (createGraphicsContextLocked(&error)) return true;
  KXLOG("card surface not made: %s", error.localizedDescription().c_str());
  return false;
}

bool KXResourceUtil::createGraphicsContextLocked(kx::Error* error) {
  if (cardSurface_) return true;
  OwnedSurface background = LoadShippedPng(kBackgroundResource, error);
  if (!background) return false;

  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, kCardWidth);
  std::unique_ptr<unsigned char[]> buffer(
      new unsigned char[static_cast<std::size_t>(stride) * kCardHeight]());
  SurfacePtr surface(cairo_image_surface_create_for_data(buffer.get(), CAIRO_FORMAT_ARGB32,
                                                         kCardWidth, kCardHeight, stride));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
    kx::SetError(error, ResourceError(kKXResourceEncodeError,
                                      cairo_status_to_string(cairo_surface_status(surface.get()))));
    return false;
  }
  cardBuffer_ = std::move(buffer);
  cardSurface_ = std::move(surface);
  background_.reset(background.release());
  return true;
}

cairo_surface_t* KXResourceUtil::iconLocked(const std::string& name) {
  auto it = icons_.find(name);
  if (it != icons_.end()) return it->second.get();
  kx::Error error;
  OwnedSurface icon =
      LoadShippedPng(kx::Path::appendingPathComponent(kFileTypeIconFolder, name + ".png"), &error);
  if (!icon) {
    // Drawn without an icon; asked again next time.
    KXLOG("file-type icon missing: %s", error.localizedDescription().c_str());
    return nullptr;
  }
  cairo_surface_t* raw = icon.get();
  icons_.emplace(name, SurfacePtr(icon.release()));
  return raw;
}

bool KXResourceUtil::generateResourcePreview(const kx::Dictionary& resource,
                                             const std::string& path, kx::Error* error) {
  kx::Error failure;
  if (path.empty()) {
    failure = ResourceError(kKXResourceNoFileError, "no file to write the card to");
    KXLOG("card not written: %s", failure.localizedDescription().c_str());
    kx::SetError(error, failure);
    return false;
  }
  const std::string title = resource[kKXResourceTitleKey].stringValue();
  const kx::Value& fileType = resource[kKXResourceFileTypeKey];
  const std::string mimeType = fileType.isString() ? fileType.string() : std::string();
  std::string extension = resource[kKXResourceExtensionKey].stringValue();
  const std::string sizeText =
      KXSizeUtil::sizeStringFromSize(resource[kKXResourceSizeKey].intValue());
  const std::string dateText =
      kx::Time::formatLocal(resource[kKXResourceCreateTimeKey].intValue(), kDatePattern);
  if (extension.empty()) {
    extension = KXMimeTypes::systemTypes().preferredExtensionForMIMEType(
        mimeType.empty() ? "text/plain" : mimeType);
  }
  const std::string icon = iconNameForFileType(extension, mimeType);
  const std::string detailLine = dateText + ", " + sizeText;

  const KXFont& font = CardFont();
  const std::string titleLine = cardTitleLine(title);

  std::string png;
  {
    kx::MutexLock lock(cardMu_);
    if (!createGraphicsContextLocked(&failure)) {
      KXLOG("card not drawn: %s", failure.localizedDescription().c_str());
      kx::SetError(error, failure);
      return false;
    }
    CairoPtr cr(cairo_create(cardSurface_.get()));
    // The background replaces whatever the last card left.
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
    PaintScaled(cr.get(), background_.get(), 0, 0, kCardWidth, kCardHeight);
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_OVER);
    if (cairo_surface_t* picture = iconLocked(icon)) {
      PaintScaled(cr.get(), picture, kIconX, kIconTop, kIconSide, kIconSide);
    }
    cairo_set_source_rgb(cr.get(), kTextRed, kTextGreen, kTextBlue);
    font.drawString(cr.get(), detailLine, kTextX, kDetailBaseline);
    font.drawString(cr.get(), titleLine, kTextX, kTitleBaseline);
    const cairo_status_t status = cairo_status(cr.get());
    cr.reset();
    cairo_surface_flush(cardSurface_.get());
    if (status != CAIRO_STATUS_SUCCESS) {
      failure = ResourceError(kKXResourceEncodeError, cairo_status_to_string(status));
      KXLOG("card not drawn: %s", failure.localizedDescription().c_str());
      kx::SetError(error, failure);
      return false;
    }
    if (!EncodePng(cardSurface_.get(), &png, &failure)) {
      KXLOG("card not encoded: %s", failure.localizedDescription().c_str());
      kx::SetError(error, failure);
      return false;
    }
  }
  if (!WritePicture(path, png, &failure)) {
    KXLOG("card not written to %s: %s", path.c_str(), failure.localizedDescription().c_str());
    kx::SetError(error, failure);
    return false;
  }
  return true;
}

std::string KXResourceUtil::cardTitleLine(std::string_view title) {
  // The dots take part of the room, so the line never runs past it.
  const KXFont& font = CardFont();
  std::string line = kx::Text::toValidUtf8(title);
  if (font.widthOfString(line) <= kTitleWidth) return line;
  return NSStringDupTitle::subStringWithFont(line, font,
                                             kTitleWidth - font.widthOfString(kEllipsis)) +
         kEllipsis;
}

void KXResourceUtil::updatePreviewForResource(kx::Dictionary resource) {
  kx::MainQueue::shared().async(
      [this, resource = std::move(resource)] { updatePreviewForResourceSync(resource); });
}

bool KXResourceUtil::updatePreviewForResourceSync(const kx::Dictionary& resource) {
  const std::string path = fileURLforPreview(resource);
  if (path.empty()) return false;
  return generateResourcePreview(resource, path);
}

std::string KXResourceUtil::previewForResource(const kx::Dictionary& resource) {
  const std::string path = fileURLforPreview(resource);
  if (path.empty()) return {};
  // A card that cannot be drawn leaves no file at the path; the caller
  // finds none there, as before the first drawing.
  if (!kx::FileSystem::Default().exists(path))
    kx::ignoreError(generateResourcePreview(resource, path));
  return path;
}

bool KXResourceUtil::copyPreivewFrom(const kx::Dictionary& from, const kx::Dictionary& to) {
  const std::string source = fileURLforPreview(from);
  const std::string target = fileURLforPreview(to);
  if (source.empty() || target.empty()) return false;
  kx::FileSystem& fs = kx::FileSystem::Default();
  kx::Error error;
  std::string png;
  if (fs.exists(target)) {
    error = kx::Error::posix(EEXIST, target);
  } else if (fs.readFile(source, &png, &error) && WritePicture(target, png, &error)) {
    return true;
  }
  KXLOG("card not copied from %s to %s: %s", source.c_str(), target.c_str(),
        error.localizedDescription().c_str());
  return false;
}

// ---- Thumbnail --------------------------------------------------------------------

bool KXResourceUtil::generateImagePreview(const kx::Dictionary& resource, const std::string& path,
                                          kx::Error* error) {
  const kx::Value* data = resource.find(kKXResourceDataKey);
  if (!data || !data->isData()) return false;

  kx::Error failure;
  GObjectPtr<GdkPixbuf> image = DecodeBitmap(data->bytes(), maxImagePixels_, &failure);
  if (!image) {
    KXLOG("no thumbnail for %s: %s", path.c_str(), failure.localizedDescription().c_str());
    kx::SetError(error, failure);
    return false;
  }
  const int width = gdk_pixbuf_get_width(image.get());
  const int height = gdk_pixbuf_get_height(image.get());
  if (width <= kThumbnailWidth && height <= kThumbnailHeight) return false;

  const KXSize fit = KXCommonUtil::sizeFill({double(width), double(height)},
                                            {double(kThumbnailWidth), double(kThumbnailHeight)});
  const int fitWidth = static_cast<int>(std::clamp(fit.width, 1.0, 1e9));
  const int fitHeight = static_cast<int>(std::clamp(fit.height, 1.0, 1e9));
  // Centred on whole pixels, so that the picture is copied, not resampled a
  // second time. Only the part that shows is scaled: a thin picture filled
  // into the canvas would otherwise be millions of pixels long.
  const int left = static_cast<int>(std::floor((kThumbnailWidth - fitWidth) / 2.0));
  const int top = static_cast<int>(std::floor((kThumbnailHeight - fitHeight) / 2.0));
  const int shownWidth = std::min(fitWidth, kThumbnailWidth);
  const int shownHeight = std::min(fitHeight, kThumbnailHeight);
  GObjectPtr<GdkPixbuf> scaled;
  if (fitWidth == width && fitHeight == height) {
    scaled.reset(gdk_pixbuf_new_subpixbuf(image.get(), std::max(0, -left), std::max(0, -top),
                                          shownWidth, shownHeight));
  } else {
    scaled.reset(gdk_pixbuf_new(GDK_COLORSPACE_RGB, gdk_pixbuf_get_has_alpha(image.get()), 8,
                                shownWidth, shownHeight));
    // gdk-pixbuf's bilinear filter averages over the covered area when it
    // shrinks, which keeps fine detail from aliasing.
    if (scaled) {
      gdk_pixbuf_scale(image.get(), scaled.get(), 0, 0, shownWidth, shownHeight, std::min(left, 0),
                       std::min(top, 0), double(fitWidth) / width, double(fitHeight) / height,
                       GDK_INTERP_BILINEAR);
    }
  }
  if (!scaled) {
    failure = ResourceError(kKXResourceUnreadableImageError, "the image could not be scaled");
    KXLOG("no thumbnail for %s: %s", path.c_str(), failure.localizedDescription().c_str());
    kx::SetError(error, failure);
    return false;
  }
  image.reset();

  OwnedSurface picture = SurfaceFromPixbuf(scaled.get());
  OwnedSurface canvas(
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kThumbnailWidth, kThumbnailHeight));
  cairo_status_t status = cairo_surface_status(picture.get());
  if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(canvas.get());
  if (status == CAIRO_STATUS_SUCCESS) {
    CairoPtr cr(cairo_create(canvas.get()));
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr.get(), picture.get(), std::max(left, 0), std::max(top, 0));
    cairo_paint(cr.get());
    status = cairo_status(cr.get());
    cairo_surface_flush(canvas.get());
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(canvas.get());
  }
  std::string png;
  if (status != CAIRO_STATUS_SUCCESS) {
    failure = ResourceError(kKXResourceEncodeError, cairo_status_to_string(status));
  }
  if (status != CAIRO_STATUS_SUCCESS || !EncodePng(canvas.get(), &png, &failure) ||
      !WritePicture(path, png, &failure)) {
    KXLOG("thumbnail not written to %s: %s", path.c_str(), failure.localizedDescription().c_str());
    kx::SetError(error, failure);
    return false;
  }
  return true;
}

void KXResourceUtil::updatePreviewForImage(kx::Dictionary resource) {
  previewQueue_.async(
      [this, resource = std::move(resource)] { updatePreviewForImageSync(resource); });
}

bool KXResourceUtil::updatePreviewForImageSync(const kx::Dictionary& resource) {
  const std::string path = fileURLForThumbnail(resource);
  if (path.empty()) return false;
  return generateImagePreview(resource, path);
}

// ---- Types ------------------------------------------------------------------------

std::optional<std::string> KXResourceUtil::mimetypeOfData(const kx::Bytes* data) const {
  if (!data || data->size() > kMaxSniffedLength) return std::string("application/octet-stream");
  kx::Error error;
  std::optional<GEMagicResult> result = GEMagicKit::magicForData(*data, &error);
  if (!result || result->mimeType().empty()) return std::nullopt;
  const std::string& mimeType = result->mimeType();
  return mimeType.substr(0, mimeType.find(';'));
}

std::string KXResourceUtil::iconNameForFileType(std::string_view extension,
                                                std::string_view mimeType) {
  struct Kind {
    const char* name;
    std::unordered_set<std::string> extensions;
  };
  static const std::array<Kind, 9>* kinds = new std::array<Kind, 9>{{
      {"pdf", {"pdf"}},
      {"document", {"doc", "docx", "docm", "dot", "dotx", "odt", "rtf", "pages", "wps"}},
      {"spreadsheet", {"xls", "xlsx", "xlsm", "xlt", "xltx", "ods", "csv", "tsv", "numbers", "et"}},
      {"presentation", {"ppt", "pptx", "pptm", "pps", "ppsx", "odp", "key", "dps"}},
      {"image",
       {"png", "jpg", "jpeg", "jpe", "gif", "bmp", "tif", "tiff", "webp", "heic", "heif", "svg",
        "ico", "psd"}},
      {"audio",
       {"mp3", "m4a", "aac", "wav", "flac", "ogg", "oga", "opus", "wma", "amr", "aiff", "aif",
        "mid", "midi"}},
      {"video", {"mp4", "m4v", "mov", "avi", "mkv", "webm", "wmv", "flv", "mpg", "mpeg", "3gp"}},
      {"archive", {"zip", "rar", "7z", "gz", "tgz", "tar", "bz2", "xz", "zst", "dmg", "iso"}},
      {"text", {"txt", "text", "md", "markdown", "log", "json", "xml", "html", "htm", "css",
                "js",  "c",    "h",  "cpp",      "py",  "java", "sh",  "yaml", "yml", "ini"}},
  }};
  const std::string ext = kx::Text::asciiLower(extension);
  for (const Kind& kind : *kinds) {
    if (kind.extensions.count(ext)) return kind.name;
  }
  // An extension that says nothing: the MIME type's kind.
  const std::string mime = kx::Text::asciiLower(mimeType.substr(0, mimeType.find(';')));
  if (mime == "application/pdf") return "pdf";
  for (const char* prefix : {"image", "audio", "video", "text"}) {
    if (mime.rfind(std::string(prefix) + "/", 0) == 0) return prefix;
  }
  return "generic";
}
