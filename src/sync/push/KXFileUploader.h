// KXFileUploader runs one upload session of the note service for one file:
// it opens the session (POST "/qrt/api/personal/sync/upload" with
// "File-Size"), sends the file to "<that address>/<transmit id>", asks the
// service how much arrived ("Content-Range: bytes */*", answered with
// "Range: bytes=0-<last byte>"), and resends from the first missing byte
// ("Content-Range: bytes <s>-<size - 1>/<size>") until the service holds the
// whole file. Every request goes through the push controller.
//
//   0 opening  up to three opening requests;
//   1 sending  the outcome of a body request is never reported by itself:
//              the check after it decides;
//   2 checking failed opening requests and checks share one counter: at
//              most three in one upload, and the check after that is
//              refused with the sync error;
//   3 done     the block gets {"transmitId": id}.
//
// The block is called once, with the answer or the error
// ("com.zarvel.note.Error", 0x400000002 for a missing file, an opening
// answer without transmit id, too many checks). clearEnvironment() (a
// failed push, a sign-out) cancels the running request and ends the upload
// without calling the block.
//
// Thread safety: every member may be called from any thread; the steps run
// on the threads of the request callbacks. An uploader serves one upload.
#ifndef ZN_SYNC_KXFILEUPLOADER_H_
#define ZN_SYNC_KXFILEUPLOADER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "account/KXNetworkOperation.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

class KXConcurrentController;

class KXFileUploader : public std::enable_shared_from_this<KXFileUploader> {
 public:
  static constexpr const char* kUploadPath = "/qrt/api/personal/sync/upload";
  static constexpr const char* kTransmitIdKey = "transmitId";
  static constexpr const char* kErrorDomain = "com.zarvel.note.Error";
  static constexpr std::int64_t kErrorCode = 0x400000002;
  // Failed opening requests and checks together.
  static constexpr std::int64_t kMaxRetry = 2;

  enum UploadState : std::uint64_t { kOpening = 0, kSending = 1, kChecking = 2, kDone = 3 };

  using Callback = std::function<void(const kx::Value& answer, const kx::Error& error)>;

  // The program's service and push controller.
  static std::shared_ptr<KXFileUploader> fileUploaderWithFile(const std::string& filePath,
                                                              std::int64_t fileSize);
  KXFileUploader(std::string filePath, std::int64_t fileSize, std::string serviceBaseURL,
                 KXConcurrentController& controller);

  void uploadWithCallback(Callback callback);
  void clearEnvironment();

  std::int64_t fileSize() const { return fileSize_; }
  const std::string& filePath() const { return filePath_; }
  std::uint64_t uploadState() const;
  std::string transmitId() const;

  // The first byte to send after a check whose "Range" header is `range`
  // (nullopt: no header): 0 for the whole file, -1 when the service holds
  // all of it.
  static std::int64_t firstMissingByte(const std::optional<std::string>& range,
                                       std::int64_t fileSize);

 private:
  void open();
  void startPushFile();
  void startCheckFile();
  void checkFileNotFinish(std::int64_t firstByte);
  void rePushFileFrom(std::int64_t firstByte);
  // Runs the options through the controller; `then` gets the outcome unless
  // the upload was cleared or has ended.
  void send(KXNetworkOperationOptions options, KXNetworkOperationCallback then);
  void finish(const kx::Value& answer, const kx::Error& error);
  std::string sessionURL() const;
  std::string mimeType() const;

  const std::string filePath_;
  const std::int64_t fileSize_;
  const std::string serviceBaseURL_;
  KXConcurrentController& controller_;

  mutable kx::Mutex mu_;
  Callback callback_ GUARDED_BY(mu_);
  std::int64_t retry_ GUARDED_BY(mu_) = 0;
  std::string transmitId_ GUARDED_BY(mu_);
  std::uint64_t uploadState_ GUARDED_BY(mu_) = kOpening;
  std::shared_ptr<KXNetworkOperation> operation_ GUARDED_BY(mu_);
  bool cleared_ GUARDED_BY(mu_) = false;
  bool ended_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXFILEUPLOADER_H_
