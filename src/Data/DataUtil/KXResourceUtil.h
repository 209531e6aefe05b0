// KXResourceUtil serves the resources of notes (attachments and images): it
// names the current user's preview-card and thumbnail files of a resource,
// draws the preview card of an attachment and the thumbnail of an image,
// parses the attribute text of a resource tag, and sniffs the MIME type of
// a resource's bytes.
//
// Resource description: the dictionary callers pass for one resource, with
// the keys below ("resourceID" names the files; "data" is needed for a
// thumbnail; the others for a card).
//
// Files: bucket = the sum of the bytes of the resource id's UTF-8 form,
// modulo 10. The card is "Preivew/{bucket}/{resourceID}" and the thumbnail
// "Thumbnail/{bucket}/{resourceID}" in the user's data directory
// (KXFileManager); both hold PNG data and have no extension. A resource id
// that cannot be one file name ("", ".", "..", holding "/" or NUL) has no
// files. Files are written atomically (kx::FileSystem::writeFileAtomically,
// the temporary beside the bucket folder), so a reader never sees half a
// picture.
//
// The card (220 by 55 pixels): the background picture
// "attachment_background.png" of the shipped resources; the icon of the
// file type (resources "filetype/{kind}.png", chosen from the extension, or
// the MIME type when the extension says nothing) in a 36-pixel square 9
// pixels from the top and 8 from the left; the title, cut to 150 pixels and
// ended with "..." when longer, with its baseline 21 pixels from the top;
// and "{date}, {size}" ("yyyy/MM/dd HH:mm" in local time, KXSizeUtil) with
// its baseline 41 pixels from the top; text at x 50 in "Times New Roman"
// (fontconfig's serif family when missing, with fallback fonts for other
// scripts) at 12 pixels, colour (40, 56, 113). Every card is drawn on one
// surface with its own buffer, made once and kept; cards are drawn one at a
// time under cardMu_, whichever queue asks.
//
// The thumbnail (70 by 55 pixels): the image of "data" scaled with
// KXCommonUtil::sizeFill into 70 by 55, centred (parts outside are cut
// off) and copied onto a transparent canvas. An image no larger than 70 by
// 55 gets none. Bitmaps are read with gdk-pixbuf (PNG, JPEG, GIF, BMP,
// TIFF, and WebP where its loader is installed), the loader chosen by the
// data's signature; other formats, such as vector pictures or text formats,
// count as unreadable. The image's size is checked from its header before
// any pixel is decoded: above maxImagePixels it is refused, so a crafted
// image cannot make the program allocate gigabytes. Only the part of the
// scaled image that shows on the canvas is made.
//
// Failures: the drawing and copying calls answer whether a file was
// written (and, where they take one, *error says why not); callers may
// ignore the answer. Every failure except a missing "data" or a picture too
// small for a thumbnail is logged.
//
// Thread safety: every member may be called from any thread. Cards are
// serialised by cardMu_, which guards the card surface, its buffer, the
// background picture and the loaded icons. Thumbnails share nothing. The
// file-type sniffer serialises itself (GEMagicKit).
#ifndef ZN_DATA_DATAUTIL_KXRESOURCEUTIL_H_
#define ZN_DATA_DATAUTIL_KXRESOURCEUTIL_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/SerialQueue.h"
#include "platform/Value.h"

typedef struct _cairo_surface cairo_surface_t;

// Keys of a resource description.
inline constexpr const char* kKXResourceIDKey = "resourceID";            // text
inline constexpr const char* kKXResourceTitleKey = "title";              // text
inline constexpr const char* kKXResourceFileTypeKey = "fileType";        // MIME type
inline constexpr const char* kKXResourceExtensionKey = "fileExtension";  // text, may be ""
inline constexpr const char* kKXResourceSizeKey = "size";                // bytes
inline constexpr const char* kKXResourceCreateTimeKey = "createTime";    // seconds since 1970
inline constexpr const char* kKXResourceDataKey = "data";                // bytes

// Errors of the drawing calls.
inline constexpr const char* kKXResourceErrorDomain = "com.zarvel.note.resource";
inline constexpr std::int64_t kKXResourceUnreadableImageError = 1;  // no bitmap we can read
inline constexpr std::int64_t kKXResourceImageTooLargeError = 2;    // above the pixel limit
inline constexpr std::int64_t kKXResourceMissingPictureError = 3;   // a shipped picture is missing
inline constexpr std::int64_t kKXResourceEncodeError = 4;           // PNG encoding failed
inline constexpr std::int64_t kKXResourceNoFileError = 5;           // the resource has no file

class KXResourceUtil {
 public:
  static constexpr int kCardWidth = 220;
  static constexpr int kCardHeight = 55;
  static constexpr int kThumbnailWidth = 70;
  static constexpr int kThumbnailHeight = 55;
  static constexpr double kTitleWidth = 150;
  // Images with more pixels than this are not decoded.
  static constexpr std::uint64_t kMaxImagePixels = 50'000'000;
  // Data longer than this (200 MiB) is not sniffed.
  static constexpr std::uint64_t kMaxSniffedLength = 209'715'200;
  static constexpr const char* kPreviewQueueLabel = "com.zarvel.note.queue.preview";
  static constexpr const char* kBackgroundResource = "attachment_background.png";
  static constexpr const char* kFileTypeIconFolder = "filetype";

  // The program's helper, made on the first call (thread-safely) and never
  // freed.
  static KXResourceUtil& sharedUtil();

  // A helper of its own (tests make theirs with a small pixel limit).
  explicit KXResourceUtil(std::uint64_t maxImagePixels = kMaxImagePixels);
  ~KXResourceUtil();
  KXResourceUtil(const KXResourceUtil&) = delete;
  KXResourceUtil& operator=(const KXResourceUtil&) = delete;

  kx::SerialQueue& previewQueue() { return previewQueue_; }

  // The attributes of a tag's attribute text: trimmed, double quotes
  // removed, then name=value pairs separated by white space or line breaks
  // (NSDictionaryKXHelper::dictionaryWithFormatedStringCharacterSet).
  static kx::Dictionary attributesOfResourceTagData(std::string_view text);

  // The bucket of a resource id, 0 to 9.
  int hashCodeFromResourceID(std::string_view resourceId) const;
  // The card and thumbnail files of the description's "resourceID" (their
  // bucket folder is created); "" when there are none.
  std::string fileURLforPreview(const kx::Dictionary& resource);
  std::string fileURLForThumbnail(const kx::Dictionary& resource);

  // Makes the card surface, background picture and text font once; false
  // (and a log line) when the background picture cannot be read.
  bool createGraphicsContext();

  // Draws the card of the description and writes it to `path`.
  [[nodiscard]] bool generateResourcePreview(const kx::Dictionary& resource,
                                             const std::string& path, kx::Error* error = nullptr);
  // Writes the thumbnail of the description's "data" to `path`; false
  // without an error when there is no data or the image is small.
  [[nodiscard]] bool generateImagePreview(const kx::Dictionary& resource, const std::string& path,
                                          kx::Error* error = nullptr);

  // Redraws the resource's card: queued on the main queue / on the caller's
  // queue.
  void updatePreviewForResource(kx::Dictionary resource);
  bool updatePreviewForResourceSync(const kx::Dictionary& resource);
  // Rewrites the resource's thumbnail: queued on the preview queue / on the
  // caller's queue.
  void updatePreviewForImage(kx::Dictionary resource);
  bool updatePreviewForImageSync(const kx::Dictionary& resource);

  // The resource's card file, drawn first when there is no file yet; ""
  // when the resource has none.
  std::string previewForResource(const kx::Dictionary& resource);

  // Copies the first resource's card file to the second's place; a missing
  // source or an existing target copies nothing.
  bool copyPreivewFrom(const kx::Dictionary& from, const kx::Dictionary& to);

  // The MIME type of the bytes without parameters ("text/plain" for
  // "text/plain; charset=us-ascii"): "application/octet-stream" without
  // data (nullptr) or above kMaxSniffedLength; nullopt when the sniffer has
  // no answer.
  std::optional<std::string> mimetypeOfData(const kx::Bytes* data) const;

  // Resources are never embedded.
  bool isEmbedResource(const kx::Value& resource) const {
    (void)resource;
    return false;
  }

  // The title as the card shows it: whole when it takes at most
  // kTitleWidth pixels in the card's font, else its longest prefix that
  // fits there together with "...", followed by "...".
  static std::string cardTitleLine(std::string_view title);

  // The icon kind of a file type: "document", "spreadsheet",
  // "presentation", "pdf", "image", "audio", "video", "archive", "text" or
  // "generic".
  static std::string iconNameForFileType(std::string_view extension, std::string_view mimeType);

 private:
  struct SurfaceDeleter {
    void operator()(cairo_surface_t* surface) const;
  };
  using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

  [[nodiscard]] bool createGraphicsContextLocked(kx::Error* error) REQUIRES(cardMu_);
  cairo_surface_t* iconLocked(const std::string& name) REQUIRES(cardMu_);
  std::string fileURLIn(const kx::Dictionary& resource, bool thumbnail);

  const std::uint64_t maxImagePixels_;
  kx::SerialQueue previewQueue_{kPreviewQueueLabel};

  kx::Mutex cardMu_;
  std::unique_ptr<unsigned char[]> cardBuffer_ GUARDED_BY(cardMu_);
  SurfacePtr cardSurface_ GUARDED_BY(cardMu_);
  SurfacePtr background_ GUARDED_BY(cardMu_);
  std::map<std::string, SurfacePtr> icons_ GUARDED_BY(cardMu_);
};

#endif  // ZN_DATA_DATAUTIL_KXRESOURCEUTIL_H_
