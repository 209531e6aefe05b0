// KXWebDataStreamHandler receives the bodies of one upload transfer of the
// web interface into one temporary file, never holding a body in memory,
// and then turns the received bytes into what the page asked for: the
// content file of an entry (a push names the transfer) or a resource, for
// an attachment together with an icon resource made from its preview card
// (a putResource names it).
//
// Bodies and offsets. A body is read in pieces of at most kChunkSize bytes
// and written at the offset that the last range answer (dataRange) told
// the page: 0 after "bytes=0-", N + 1 after "bytes=0-N". The file is cut
// there first, so a page that resends from the reported offset never
// doubles bytes. The received count is the file's length. A body counts as
// whole when it delivered exactly its announced length; the received bytes
// are bound (to content or a resource) only after a whole body.
//
// Binding. The received bytes are turned into content or a resource only
// between bodies (runWhenIdle): a body that comes while they are used is
// refused with -1008, and binding while a body is being read is refused the
// same way. The temporary file goes when the object goes (removeTemporary
// may remove it earlier).
//
// Thread safety: one body at a time (a second obtainData while one is read
// fails with -1008 at once); every member may be called from any thread.
// The state is guarded by mu_; the file is written without the lock, by
// the one reader.
#ifndef ZN_WEBREQUEST_KXWEBDATASTREAMHANDLER_H_
#define ZN_WEBREQUEST_KXWEBDATASTREAMHANDLER_H_

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Data/client/KXDataClient.h"
#include "platform/Error.h"
#include "platform/InputStream.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

class Resource;

class KXWebDataStreamHandler {
 public:
  // Largest piece read from a body and written at once.
  static constexpr std::size_t kChunkSize = 32768;
  // Below this many received bytes the range answer is "bytes=0-".
  static constexpr std::int64_t kRangeThreshold = 5000000;

  using ReceiveCallback = std::function<void(std::int64_t received, const kx::Error& error)>;
  using ResourceCallback = std::function<void(
      std::shared_ptr<Resource> resource, std::shared_ptr<Resource> icon, const kx::Error& error)>;
  // write(2) by default; tests give one that fails.
  using WriteFunction = std::function<ssize_t(int fd, const void* data, std::size_t size)>;

  // A reader whose bytes go to `tempPath` (a new, unique path).
  KXWebDataStreamHandler(KXDataClient& client, std::string tempPath);
  ~KXWebDataStreamHandler();
  KXWebDataStreamHandler(const KXWebDataStreamHandler&) = delete;
  KXWebDataStreamHandler& operator=(const KXWebDataStreamHandler&) = delete;

  // Reads one body to its end on the calling thread and calls `callback`
  // with the received count and an error: -1008 when a body is being read
  // (or the bytes are being bound) already; -1021 with "status" "Network
  // read error", "File write error" or "update file failed: <reason>" when
  // the body failed.
  void obtainData(kx::InputStream& stream, std::int64_t maxLength, const ReceiveCallback& callback);

  // "bytes=0-" below kRangeThreshold received bytes, else "bytes=0-<n-1>";
  // the next body is written at the offset this answer tells.
  std::string dataRange();
  // The received count (the file's length).
  std::int64_t bytesRead() const;
  // Whether the last body delivered its announced length.
  bool lastBodyWhole() const;
  const std::string& tempPath() const { return tempPath_; }

  // Runs `work` with the received count at once when no body is being
  // read, holding later bodies off while it runs; false (work not run)
  // while a body is being read.
  bool runWhenIdle(const std::function<void(std::int64_t received)>& work);

  // Writes the received bytes as the content file of the entry under the
  // file name (KXFileManager::writeContentFileSync); false and *error when
  // the last body was not whole or the write failed.
  [[nodiscard]] bool writeContentFile(const std::string& fileId, const std::string& fileName,
                                      kx::Error* error);
  // Stores the received bytes as the resource "resourceId" titled
  // "resourceName" of `params`, an image or an attachment by the sniffed
  // type; an attachment also gets an icon resource of its preview card.
  // Saves the store. Synchronous; the callback runs before it returns.
  void storeResource(const kx::Dictionary& params, const ResourceCallback& callback);
  // The card file's bytes as a new "attachment-preview" resource owned by
  // the resource `ownerId`, stored and saved.
  void addAttchmentIconResource(const std::string& cardPath, const std::string& ownerId,
                                const ResourceCallback& callback);

  // Removes the temporary file.
  void removeTemporary();

  void setWriteFunctionForTesting(WriteFunction write);

 private:
  std::optional<kx::Error> receive(kx::InputStream& stream, std::int64_t* bodyBytes);
  // Deletes the resources a failed store call made (not saved yet).
  void forgetUnsavedResource(const KXResultInfo& info);

  KXDataClient& client_;
  const std::string tempPath_;

  mutable kx::Mutex mu_;
  bool isWorking_ GUARDED_BY(mu_) = false;
  std::int64_t bytesRead_ GUARDED_BY(mu_) = 0;
  std::int64_t writeOffset_ GUARDED_BY(mu_) = 0;
  bool lastBodyWhole_ GUARDED_BY(mu_) = false;
  WriteFunction write_ GUARDED_BY(mu_);
};

#endif  // ZN_WEBREQUEST_KXWEBDATASTREAMHANDLER_H_
