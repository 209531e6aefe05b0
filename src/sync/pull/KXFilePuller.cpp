#include "sync/pull/KXFilePuller.h"

#include <atomic>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/client/KXFileManager.h"
#include "platform/FileSystem.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/cycle/KXSyncScriptBridge.h"

namespace {

void removeDownloaded(const std::string& path) {
  if (path.empty()) return;
  kx::FileSystem& fs = kx::FileSystem::Default();
  if (fs.exists(path)) kx::ignoreError(fs.removeItem(path, nullptr));
}

}  // namespace

std::shared_ptr<KXFilePuller> KXFilePuller::pullerWithFileId(const std::string& fileId,
                                                             const kx::Value& version) {
  return std::make_shared<KXFilePuller>(
      fileId, version, KXServiceBaseURL(),
      [] { return KXFileManager::defaultManauger().URLForTempFile(); },
      KXConcurrentController::pullController());
}

KXFilePuller::KXFilePuller(std::string fileId, kx::Value version, std::string serviceBaseURL,
                           std::function<std::string()> tempFile,
                           KXConcurrentController& controller)
    : fileId_(std::move(fileId)),
      version_(std::move(version)),
      serviceBaseURL_(std::move(serviceBaseURL)),
      tempFile_(std::move(tempFile)),
      controller_(controller),
      editorVersion_(KXSyncScriptBridge::installed()->getEditorVersion()) {}

void KXFilePuller::setKeepsBodyInMemory(bool keep) {
  kx::MutexLock lock(mu_);
  inMemory_ = keep;
}

void KXFilePuller::pullWithCallback(Callback callback) {
  bool inMemory;
  {
    kx::MutexLock lock(mu_);
    inMemory = inMemory_;
  }
  kx::Dictionary params{
      {"fileId", kx::Value(fileId_)},
      {"version", version_.isNull() ? kx::Value(0) : version_},
      {"convert", kx::Value("false")},
      {"editorType", kx::Value(1)},
      {"editorVersion", kx::Value(editorVersion_.empty() ? std::string("0") : editorVersion_)}};
  KXNetworkOperationOptions options;
  options.set(kKXOptionURL, kx::Value(serviceBaseURL_ + kDownloadPath));
  options.set(kKXOptionParams, kx::Value(std::move(params)));
  const std::string target = !inMemory && tempFile_ ? tempFile_() : std::string();
  if (!target.empty()) options.set(kKXOptionDownloadFile, kx::Value(target));
  auto operation = std::make_shared<KXNetworkOperation>();
  operation->setOption(std::move(options));
  {
    kx::MutexLock lock(mu_);
    if (cleared_) return;
    operator_ = operation;
  }
  auto once = std::make_shared<std::atomic<bool>>(false);
  std::weak_ptr<KXFilePuller> weak = weak_from_this();
  bool queued = controller_.concurrentResumeWithOperator(
      operation, [weak, once, callback, target, inMemory](
                     const kx::Value& data, const kx::HTTPResponseHead&, const kx::Error& error) {
        if (once->exchange(true) || !callback) return;
        std::shared_ptr<KXFilePuller> self = weak.lock();
        bool stale = !self;
        if (self) {
          kx::MutexLock lock(self->mu_);
          stale = self->cleared_;
          self->operator_.reset();
        }
        if (stale) {
          // Nobody takes this answer: its file is not left behind.
          removeDownloaded(target);
          return;
        }
        if (!error.domain().empty()) {
          removeDownloaded(target);
          KXLOG("download of %s failed: %s", self->fileId_.c_str(),
                error.localizedDescription().c_str());
          callback(kx::Value(), error);
          return;
        }
        if (inMemory) {
          callback(kx::Value::dict({{kBodyKey, data.isData() ? data : kx::Value(kx::Bytes())}}),
                   kx::Error());
          return;
        }
        // Without a temporary location the body came in memory: no file to
        // name, and the caller fails the entry.
        callback(target.empty() ? kx::Value::dict({})
                                : kx::Value::dict({{kTmpFilePathKey, kx::Value(target)}}),
                 kx::Error());
      });
  if (!queued && !once->exchange(true) && callback) {
    callback(kx::Value(), kx::Error("com.zarvel.note.Error", 0x400000002));
  }
}

void KXFilePuller::clearEnvironment() {
  std::shared_ptr<KXNetworkOperation> operation;
  {
    kx::MutexLock lock(mu_);
    cleared_ = true;
    operation.swap(operator_);
  }
  if (operation && !operation->isComplete()) operation->cancel();
}
