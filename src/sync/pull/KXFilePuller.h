// KXFilePuller downloads the body of one pulled entry into a temporary file
// of its own: POST "/qrt/api/personal/sync?method=download" with {"fileId",
// "version", "convert": "false", "editorType": 1, "editorVersion": the
// editor bundle's version ("0" when unknown)}, run on the pull controller
// (at most 7 downloads at once). The file's name is new for every download
// (KXFileManager::URLForTempFile), so downloads running side by side never
// write into one another's files; the caller removes it once the content
// is stored.
//
// The block is called once: {"tmp-file-path": the file's path} and no
// error ({} when no temporary location could be had), or the error
// (nothing is left behind then). A puller told to keep the body in memory
// (setKeepsBodyInMemory, for bodies the caller reads whole anyway) writes
// no file: it answers {"body": the bytes}. After
// clearEnvironment() it is not called: the request is cancelled and a late
// answer dropped; nor when the puller was released before its answer came
// (its owner, the object puller, keeps it while it waits).
//
// Create with pullerWithFileId (the program's service, temporary folder and
// pull controller) or the constructor (tests). Thread safety: every member
// may be called from any thread; the block runs on the transport's threads.
#ifndef ZN_SYNC_KXFILEPULLER_H_
#define ZN_SYNC_KXFILEPULLER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "account/KXNetworkOperation.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

class KXConcurrentController;

class KXFilePuller : public std::enable_shared_from_this<KXFilePuller> {
 public:
  static constexpr const char* kDownloadPath = "/qrt/api/personal/sync?method=download";
  static constexpr const char* kTmpFilePathKey = "tmp-file-path";
  static constexpr const char* kBodyKey = "body";
  using Callback = std::function<void(const kx::Value& result, const kx::Error& error)>;

  static std::shared_ptr<KXFilePuller> pullerWithFileId(const std::string& fileId,
                                                        const kx::Value& version);

  // `tempFile` gives a new temporary file location for each download.
  KXFilePuller(std::string fileId, kx::Value version, std::string serviceBaseURL,
               std::function<std::string()> tempFile, KXConcurrentController& controller);

  // Call before pullWithCallback.
  void setKeepsBodyInMemory(bool keep);
  void pullWithCallback(Callback callback);
  void clearEnvironment();

  const std::string& fileId() const { return fileId_; }
  const std::string& editorVersion() const { return editorVersion_; }

 private:
  const std::string fileId_;
  const kx::Value version_;
  const std::string serviceBaseURL_;
  const std::function<std::string()> tempFile_;
  KXConcurrentController& controller_;
  const std::string editorVersion_;

  kx::Mutex mu_;
  std::shared_ptr<KXNetworkOperation> operator_ GUARDED_BY(mu_);
  bool cleared_ GUARDED_BY(mu_) = false;
  bool inMemory_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXFILEPULLER_H_
