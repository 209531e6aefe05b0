// ZZChannel is where an archive's bytes come from and go to: a file
// (ZZFileChannel) or a buffer in memory (ZZDataChannel). The reader uses
// newInput() only; the writer makes a temporary channel, writes the whole new
// archive into it and then puts it in place with replaceWithChannel(), which
// is atomic for files.
//
// Thread safety: see the subclasses.
#ifndef ZN_COMMONUTILS_ZIP_ZZCHANNEL_H_
#define ZN_COMMONUTILS_ZIP_ZZCHANNEL_H_

#include <memory>
#include <optional>
#include <string>

#include "CommonUtils/zip/ZZBytes.h"
#include "CommonUtils/zip/ZZChannelOutput.h"
#include "platform/Error.h"

class ZZChannel {
 public:
  virtual ~ZZChannel() = default;

  // The file's path, or "" for a channel in memory.
  virtual std::string path() const = 0;
  // A new channel of the same kind to write a replacement into.
  virtual std::unique_ptr<ZZChannel> temporaryChannel(kx::Error* error) = 0;
  // Makes this channel hold what `channel` (made by temporaryChannel) holds.
  [[nodiscard]] virtual bool replaceWithChannel(ZZChannel& channel, kx::Error* error) = 0;
  // Drops a temporary channel's storage, if any is left.
  virtual void removeAsTemporary() = 0;
  // The channel's whole contents. A missing file or empty data fails with
  // the platform's "no such file" error (kCocoaErrorDomain, 260).
  virtual std::optional<ZZBytes> newInput(kx::Error* error) = 0;
  virtual std::unique_ptr<ZZChannelOutput> newOutput(kx::Error* error) = 0;
};

// The platform's code for "no such file" in kx::kCocoaErrorDomain.
inline constexpr std::int64_t ZZFileReadNoSuchFileError = 260;

#endif  // ZN_COMMONUTILS_ZIP_ZZCHANNEL_H_
