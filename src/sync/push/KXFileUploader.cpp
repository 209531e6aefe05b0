#include "sync/push/KXFileUploader.h"

#include <cstdio>
#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/MagicKit/GEMagicKit.h"
#include "platform/FileSystem.h"
#include "sync/cycle/KXConcurrentController.h"

namespace {

kx::Error syncError() {
  return kx::Error(KXFileUploader::kErrorDomain, KXFileUploader::kErrorCode);
}

}  // namespace

std::shared_ptr<KXFileUploader> KXFileUploader::fileUploaderWithFile(const std::string& filePath,
                                                                     std::int64_t fileSize) {
  return std::make_shared<KXFileUploader>(filePath, fileSize, KXServiceBaseURL(),
                                          KXConcurrentController::pushController());
}

KXFileUploader::KXFileUploader(std::string filePath, std::int64_t fileSize,
                               std::string serviceBaseURL, KXConcurrentController& controller)
    : filePath_(std::move(filePath)),
      fileSize_(fileSize),
      serviceBaseURL_(std::move(serviceBaseURL)),
      controller_(controller) {}

std::uint64_t KXFileUploader::uploadState() const {
  kx::MutexLock lock(mu_);
  return uploadState_;
}

std::string KXFileUploader::transmitId() const {
  kx::MutexLock lock(mu_);
  return transmitId_;
}

std::string KXFileUploader::sessionURL() const {
  return serviceBaseURL_ + kUploadPath + "/" + transmitId();
}

std::string KXFileUploader::mimeType() const {
  std::optional<GEMagicResult> magic = GEMagicKit::magicForFileAtPath(filePath_);
  if (magic && !magic->mimeType().empty()) return magic->mimeType();
  return "application/octet-stream";
}

std::int64_t KXFileUploader::firstMissingByte(const std::optional<std::string>& range,
                                              std::int64_t fileSize) {
  const std::string prefix = "bytes=";
  if (!range || range->size() < 8 || range->compare(0, prefix.size(), prefix) != 0) return 0;
  const std::string rest = range->substr(prefix.size());
  const std::size_t dash = rest.find('-');
  if (dash == std::string::npos) return 0;
  const std::string last = rest.substr(dash + 1);
  if (last.empty()) return fileSize > 0 ? 0 : -1;
  // Only what the service confirms counts: the held bytes start at 0 and
  // end at a byte of the file, written in digits alone. Anything else (a
  // last byte beyond the file, a sign, trailing text) sends the whole file.
  auto digits = [](const std::string& text) {
    return !text.empty() && text.size() <= 18 &&
           text.find_first_not_of("0123456789") == std::string::npos;
  };
  const std::string first = rest.substr(0, dash);
  if (!digits(first) || std::stoll(first) != 0 || !digits(last)) return 0;
  const std::int64_t e = std::stoll(last);
  if (e >= fileSize) return 0;
  if (e < fileSize - 1) return e + 1;
  return -1;
}

void KXFileUploader::uploadWithCallback(Callback callback) {
  {
    kx::MutexLock lock(mu_);
    callback_ = std::move(callback);
  }
  if (fileSize_ < 0 || !kx::FileSystem::Default().exists(filePath_)) {
    KXLOG("upload of %s refused: no such file", filePath_.c_str());
    finish(kx::Value(), syncError());
    return;
  }
  open();
}

void KXFileUploader::open() {
  {
    kx::MutexLock lock(mu_);
    uploadState_ = kOpening;
  }
  KXNetworkOperationOptions options{
      {kKXOptionURL, kx::Value(serviceBaseURL_ + kUploadPath)},
      {kKXOptionMethod, kx::Value("POST")},
      {kKXOptionHeaders, kx::Value::dict({{"File-Size", kx::Value(std::to_string(fileSize_))}})},
      {kKXOptionTimeout, kx::Value(100)}};
  std::weak_ptr<KXFileUploader> weak = weak_from_this();
  send(std::move(options),
       [weak](const kx::Value& result, const kx::HTTPResponseHead&, const kx::Error& error) {
         auto self = weak.lock();
         if (!self) return;
         if (error) {
           bool again = false;
           {
             kx::MutexLock lock(self->mu_);
             again = ++self->retry_ <= kMaxRetry;
           }
           if (again) {
             self->open();
           } else {
             self->finish(kx::Value(), error);
           }
           return;
         }
         std::string id;
         if (result.isData()) {
           kx::Value parsed = objectFromJSONData(result.bytes());
           if (parsed.isDictionary() && parsed[kTransmitIdKey].isString()) {
             id = parsed[kTransmitIdKey].string();
           }
         }
         if (id.empty()) {
           KXLOG("upload of %s: the opening answer has no transmit id", self->filePath_.c_str());
           self->finish(kx::Value(), syncError());
           return;
         }
         {
           kx::MutexLock lock(self->mu_);
           self->transmitId_ = id;
         }
         self->startPushFile();
       });
}

void KXFileUploader::startPushFile() {
  {
    kx::MutexLock lock(mu_);
    uploadState_ = kSending;
  }
  KXNetworkOperationOptions options{
      {kKXOptionURL, kx::Value(sessionURL())},
      {kKXOptionMethod, kx::Value("POST")},
      {kKXOptionHeaders, kx::Value::dict({{"Content-Type", kx::Value(mimeType())}})},
      {kKXOptionByteFile, kx::Value(filePath_)},
      {kKXOptionTimeout, kx::Value(-1)}};
  std::weak_ptr<KXFileUploader> weak = weak_from_this();
  send(std::move(options), [weak](const kx::Value&, const kx::HTTPResponseHead&, const kx::Error&) {
    if (auto self = weak.lock()) self->startCheckFile();
  });
}

void KXFileUploader::startCheckFile() {
  {
    kx::MutexLock lock(mu_);
    uploadState_ = kChecking;
  }
  std::int64_t n = 0;
  {
    kx::MutexLock lock(mu_);
    n = retry_++;
  }
  if (n > kMaxRetry) {
    KXLOG("upload of %s: no checks left", filePath_.c_str());
    finish(kx::Value(), syncError());
    return;
  }
  KXNetworkOperationOptions options{
      {kKXOptionURL, kx::Value(sessionURL())},
      {kKXOptionMethod, kx::Value("POST")},
      {kKXOptionHeaders, kx::Value::dict({{"Content-Range", kx::Value("bytes */*")}})}};
  std::weak_ptr<KXFileUploader> weak = weak_from_this();
  send(std::move(options),
       [weak](const kx::Value&, const kx::HTTPResponseHead& response, const kx::Error& error) {
         auto self = weak.lock();
         if (!self) return;
         if (error) {
           self->startCheckFile();
           return;
         }
         std::string range = response.header("Range");
         std::int64_t first = firstMissingByte(
             range.empty() ? std::nullopt : std::optional<std::string>(range), self->fileSize_);
         if (first < 0) {
           std::string id;
           {
             kx::MutexLock lock(self->mu_);
             self->uploadState_ = kDone;
             id = self->transmitId_;
           }
           self->finish(kx::Value::dict({{kTransmitIdKey, kx::Value(id)}}), kx::Error());
           return;
         }
         self->checkFileNotFinish(first);
       });
}

void KXFileUploader::checkFileNotFinish(std::int64_t firstByte) {
  if (firstByte <= 0) {
    startPushFile();
  } else {
    rePushFileFrom(firstByte);
  }
}

void KXFileUploader::rePushFileFrom(std::int64_t firstByte) {
  {
    kx::MutexLock lock(mu_);
    uploadState_ = kSending;
  }
  char range[96];
  std::snprintf(range, sizeof range, "bytes %lld-%lld/%lld", static_cast<long long>(firstByte),
                static_cast<long long>(fileSize_ - 1), static_cast<long long>(fileSize_));
  KXNetworkOperationOptions options{
      {kKXOptionURL, kx::Value(sessionURL())},
      {kKXOptionMethod, kx::Value("POST")},
      {kKXOptionHeaders, kx::Value::dict({{"Content-Range", kx::Value(std::string(range))},
                                          {"Content-Type", kx::Value(mimeType())}})},
      {kKXOptionByteFile, kx::Value(filePath_)},
      {kKXOptionStartByte, kx::Value(firstByte)},
      {kKXOptionTimeout, kx::Value(-1)}};
  std::weak_ptr<KXFileUploader> weak = weak_from_this();
  send(std::move(options), [weak](const kx::Value&, const kx::HTTPResponseHead&, const kx::Error&) {
    if (auto self = weak.lock()) self->startCheckFile();
  });
}

void KXFileUploader::send(KXNetworkOperationOptions options, KXNetworkOperationCallback then) {
  auto operation = std::make_shared<KXNetworkOperation>();
  operation->setOption(std::move(options));
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    operation_ = operation;
  }
  // The uploader lives while one of its requests waits for its answer.
  auto self = shared_from_this();
  bool queued = controller_.concurrentResumeWithOperator(
      operation, [self, then](const kx::Value& result, const kx::HTTPResponseHead& response,
                              const kx::Error& error) {
        {
          kx::MutexLock lock(self->mu_);
          if (self->cleared_ || self->ended_) return;
        }
        then(result, response, error);
      });
  if (!queued) finish(kx::Value(), syncError());
}

void KXFileUploader::finish(const kx::Value& answer, const kx::Error& error) {
  Callback callback;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    ended_ = true;
    callback = std::move(callback_);
    operation_.reset();
  }
  if (callback) callback(answer, error);
}

void KXFileUploader::clearEnvironment() {
  std::shared_ptr<KXNetworkOperation> operation;
  {
    kx::MutexLock lock(mu_);
    cleared_ = true;
    callback_ = nullptr;
    operation.swap(operation_);
  }
  if (operation && !operation->isComplete()) operation->cancel();
}
