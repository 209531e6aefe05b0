#include "WebRequest/KXWebDataStreamHandler.h"

#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/DataUtil/KXResourceUtil.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/Resource.h"
#include "WebRequest/KXStoreAwait.h"
#include "WebRequest/KXURLError.h"
#include "platform/FileSystem.h"

namespace {

// Bytes sniffed for the MIME type of a received file.
constexpr std::size_t kSniffBytes = 65536;

kx::Error StreamError(const std::string& status) {
  return KXURLError::make(KXURLErrorStreamFailed, kx::Value::dict({{"status", status}}));
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::int64_t FileLength(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return static_cast<std::int64_t>(info.st_size);
}

// The first bytes of the file, for sniffing.
kx::Bytes Head(const std::string& path) {
  kx::Bytes head;
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return head;
  head.resize(kSniffBytes);
  std::size_t filled = 0;
  while (filled < head.size()) {
    ssize_t n = ::read(fd.get(), head.data() + filled, head.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  head.resize(filled);
  return head;
}

std::string TitleExtension(const std::string& title) {
  std::size_t dot = title.rfind('.');
  return dot == std::string::npos ? std::string() : title.substr(dot + 1);
}

}  // namespace

KXWebDataStreamHandler::KXWebDataStreamHandler(KXDataClient& client, std::string tempPath)
    : client_(client), tempPath_(std::move(tempPath)) {
  KXLOG("webDataDtreamHandler init");
}

KXWebDataStreamHandler::~KXWebDataStreamHandler() { removeTemporary(); }

void KXWebDataStreamHandler::setWriteFunctionForTesting(WriteFunction write) {
  kx::MutexLock lock(mu_);
  write_ = std::move(write);
}

void KXWebDataStreamHandler::removeTemporary() {
  if (tempPath_.empty()) return;
  if (::unlink(tempPath_.c_str()) != 0 && errno != ENOENT) {
    KXLOG("upload temporary %s not removed: errno %d", tempPath_.c_str(), errno);
  }
}

std::optional<kx::Error> KXWebDataStreamHandler::receive(kx::InputStream& stream,
                                                         std::int64_t* bodyBytes) {
  std::int64_t offset = 0;
  WriteFunction write;
  {
    kx::MutexLock lock(mu_);
    offset = writeOffset_;
    write = write_;
  }
  if (!write)
    write = [](int fd, const void* data, std::size_t size) { return ::write(fd, data, size); };
  FileDescriptor fd(::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    KXLOG("upload temporary %s cannot be opened: errno %d", tempPath_.c_str(), errno);
    return StreamError("File write error");
  }
  // The page resends from the offset it was told; what lies beyond goes.
  offset = std::min(offset, FileLength(tempPath_));
  if (::ftruncate(fd.get(), offset) != 0 || ::lseek(fd.get(), offset, SEEK_SET) != offset) {
    return StreamError("File write error");
  }
  std::vector<std::uint8_t> buffer(kChunkSize);
  while (true) {
    kx::Error readError;
    std::ptrdiff_t n = stream.read(buffer.data(), buffer.size(), &readError);
    if (n < 0) {
      if (readError) return StreamError("update file failed: " + readError.localizedDescription());
      return StreamError("Network read error");
    }
    if (n == 0) return std::nullopt;
    std::size_t written = 0;
    while (written < static_cast<std::size_t>(n)) {
      ssize_t w = write(fd.get(), buffer.data() + written, static_cast<std::size_t>(n) - written);
      if (w < 0 && errno == EINTR) continue;
      // A write that takes nothing would loop for ever: it fails the body.
      if (w <= 0) return StreamError("File write error");
      written += static_cast<std::size_t>(w);
    }
    *bodyBytes += n;
  }
}

void KXWebDataStreamHandler::obtainData(kx::InputStream& stream, std::int64_t maxLength,
                                        const ReceiveCallback& callback) {
  {
    kx::MutexLock lock(mu_);
    if (isWorking_) {
      lock.unlock();
      if (callback) callback(0, KXURLError::make(KXURLErrorResourceUnavailable));
      return;
    }
    isWorking_ = true;
  }
  std::int64_t bodyBytes = 0;
  std::optional<kx::Error> failure = receive(stream, &bodyBytes);
  kx::Error error = failure ? *failure : kx::Error();
  const std::int64_t received = FileLength(tempPath_);
  {
    kx::MutexLock lock(mu_);
    bytesRead_ = received;
    lastBodyWhole_ = !failure && (maxLength < 0 || bodyBytes == maxLength);
    isWorking_ = false;
  }
  if (callback) callback(received, error);
}

std::string KXWebDataStreamHandler::dataRange() {
  kx::MutexLock lock(mu_);
  if (bytesRead_ < kRangeThreshold) {
    writeOffset_ = 0;
    return "bytes=0-";
  }
  writeOffset_ = bytesRead_;
  return "bytes=0-" + std::to_string(bytesRead_ - 1);
}

std::int64_t KXWebDataStreamHandler::bytesRead() const {
  kx::MutexLock lock(mu_);
  return bytesRead_;
}

bool KXWebDataStreamHandler::lastBodyWhole() const {
  kx::MutexLock lock(mu_);
  return lastBodyWhole_;
}

bool KXWebDataStreamHandler::runWhenIdle(const std::function<void(std::int64_t received)>& work) {
  std::int64_t received = 0;
  {
    kx::MutexLock lock(mu_);
    if (isWorking_) return false;
    isWorking_ = true;
    received = bytesRead_;
  }
  work(received);
  kx::MutexLock lock(mu_);
  isWorking_ = false;
  return true;
}

bool KXWebDataStreamHandler::writeContentFile(const std::string& fileId,
                                              const std::string& fileName, kx::Error* error) {
  if (!lastBodyWhole()) {
    kx::SetError(error, KXURLError::make(KXURLErrorStreamFailed,
                                         kx::Value::dict({{"status", "Upload incomplete"}})));
    return false;
  }
  kx::Bytes data;
  if (!kx::FileSystem::Default().readFile(tempPath_, &data, error)) return false;
  return KXFileManager::defaultManauger().writeContentFileSync(data, fileId, fileName, error);
}

void KXWebDataStreamHandler::storeResource(const kx::Dictionary& params,
                                           const ResourceCallback& callback) {
  if (!lastBodyWhole()) {
    callback(nullptr, nullptr,
             KXURLError::make(KXURLErrorStreamFailed,
                              kx::Value::dict({{"status", "Upload incomplete"}})));
    return;
  }
  const std::string resourceId = params["resourceId"].stringValue();
  const std::string title = params["resourceName"].stringValue();
  const std::int64_t size = FileLength(tempPath_);
  kx::Bytes head = Head(tempPath_);
  const std::string mime =
      KXResourceUtil::sharedUtil().mimetypeOfData(&head).value_or("application/octet-stream");
  const std::string hash = KXFileManager::datahashForResourceURL(tempPath_).value_or("");
  const bool image = mime.rfind("image", 0) == 0;

  std::string imageSize;
  if (image) {
    int width = 0;
    int height = 0;
    if (gdk_pixbuf_get_file_info(tempPath_.c_str(), &width, &height)) {
      char text[64];
      std::snprintf(text, sizeof text, "%fx%f", static_cast<double>(width),
                    static_cast<double>(height));
      imageSize = text;
    }
    kx::Bytes data;
    kx::Error readError;
    if (kx::FileSystem::Default().readFile(tempPath_, &data, &readError)) {
      kx::ignoreError(KXResourceUtil::sharedUtil().updatePreviewForImageSync(
          kx::Dictionary{{"data", kx::Value(std::move(data))}, {"resourceID", resourceId}}));
    }
  }
  kx::Dictionary info{{"version", 1},
                      {"modifiedInLocal", true},
                      {"resourceID", resourceId},
                      {"mediaType", image ? "image" : "attachment"},
                      {"mimeType", mime},
                      {"dataHash", hash},
                      {"title", title},
                      {"size", static_cast<long long>(size)},
                      {"imageSize", imageSize}};
  const bool existed = client_.reads().objectForResourceID(resourceId) != nullptr;
  KXStoreOutcome stored = KXStoreAwait::call([&](KXDataCallback done) {
    client_.editorSave().createOrUpdateResource(info, tempPath_, std::move(done));
  });
  if (stored.error) {
    if (!existed) forgetUnsavedResource(stored.info);
    callback(nullptr, nullptr, stored.error);
    return;
  }
  KXStoreOutcome saved = KXStoreAwait::call(
      [&](KXDataCallback done) { client_.state().performSave(std::move(done)); });
  if (saved.error) {
    callback(nullptr, nullptr, saved.error);
    return;
  }
  std::shared_ptr<Resource> resource = client_.reads().objectForResourceID(resourceId);
  if (!resource) {
    callback(nullptr, nullptr, KXURLError::make(KXURLErrorCannotFindResource));
    return;
  }
  if (image) {
    callback(resource, nullptr, kx::Error());
    return;
  }
  kx::Dictionary preview{{"title", resource->title()},
                         {"size", static_cast<long long>(resource->size())},
                         {"fileExtension", TitleExtension(resource->title())},
                         {"fileType", mime},
                         {"createTime", resource->value("createTime")},
                         {"resourceID", resourceId}};
  kx::ignoreError(KXResourceUtil::sharedUtil().updatePreviewForResourceSync(preview));
  const std::string card = KXResourceUtil::sharedUtil().previewForResource(preview);
  addAttchmentIconResource(
      card, resourceId,
      [&](std::shared_ptr<Resource>, std::shared_ptr<Resource> icon, const kx::Error& error) {
        if (error) {
          callback(nullptr, nullptr, error);
        } else {
          callback(resource, icon, kx::Error());
        }
      });
}

void KXWebDataStreamHandler::forgetUnsavedResource(const KXResultInfo& info) {
  // The row made for bytes that never reached their file must not be saved
  // by whoever saves next.
  std::vector<KXObjectID> ids;
  for (const KXManagedObjectPtr& object : info.fetch.objects) {
    if (object) ids.push_back(object->objectID());
  }
  if (ids.empty()) return;
  KXStoreAwait::call(
      [&](KXDataCallback done) { client_.writes().deleteResources(ids, std::move(done)); });
}

void KXWebDataStreamHandler::addAttchmentIconResource(const std::string& cardPath,
                                                      const std::string& ownerId,
                                                      const ResourceCallback& callback) {
  kx::Bytes data;
  kx::Error error;
  if (cardPath.empty() || !kx::FileSystem::Default().readFile(cardPath, &data, &error)) {
    callback(nullptr, nullptr, error ? error : KXURLError::make(KXURLErrorCannotFindResource));
    return;
  }
  const std::string iconId = Resource::resourceFileID();
  const std::string mime =
      KXResourceUtil::sharedUtil().mimetypeOfData(&data).value_or("application/octet-stream");
  const std::string hash = KXFileManager::dataHashForResourceData(data);
  const long long size = static_cast<long long>(data.size());
  kx::Dictionary info{{"version", 1},
                      {"modifiedInLocal", true},
                      {"resourceID", iconId},
                      {"mediaType", "attachment-preview"},
                      {"mimeType", mime},
                      {"dataHash", hash},
                      {"data", kx::Value(std::move(data))},
                      {"title", "icon.png"},
                      {"size", size},
                      {"imageSize", ""},
                      {"resOwner", ownerId}};
  KXStoreOutcome stored = KXStoreAwait::call([&](KXDataCallback done) {
    client_.editorSave().createOrUpdateResource(info, std::move(done));
  });
  if (stored.error) {
    forgetUnsavedResource(stored.info);
    callback(nullptr, nullptr, stored.error);
    return;
  }
  KXStoreOutcome saved = KXStoreAwait::call(
      [&](KXDataCallback done) { client_.state().performSave(std::move(done)); });
  if (saved.error) {
    callback(nullptr, nullptr, saved.error);
    return;
  }
  std::shared_ptr<Resource> icon = client_.reads().objectForResourceID(iconId);
  if (!icon) {
    callback(nullptr, nullptr, KXURLError::make(KXURLErrorCannotFindResource));
    return;
  }
  callback(icon, icon, kx::Error());
}
