#include "sync/cycle/KXFileWatcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/DataUtil/KXNoteUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "platform/Crypto.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "platform/QueueCheck.h"
#include "platform/Semaphore.h"
#include "platform/Text.h"
#include "platform/Time.h"
#include "platform/UserDefaults.h"
#include "sync/cycle/KXSyncScriptBridge.h"

namespace {

constexpr std::uint32_t kFileEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE;
constexpr const char* kContentsFolder = "Contents";
constexpr const char* kResourcesFolder = "Resources";

std::vector<std::string> Components(const std::string& relative) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    if (slash > start) parts.push_back(relative.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::optional<std::string> ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The lower-case MD5 of the file's bytes, read in pieces; nullopt when it
// cannot be read.
std::optional<std::string> FileMD5(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  kx::Digest digest(kx::Digest::Algorithm::MD5);
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.gcount() > 0)
      digest.update(kx::ByteView(buffer.data(), static_cast<std::size_t>(in.gcount())));
  }
  if (in.bad()) return std::nullopt;
  return digest.finishHex();
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

void WaitForStore(const std::function<void(KXDataCallback)>& start, kx::Error* error) {
  auto done = std::make_shared<kx::Semaphore>();
  auto result = std::make_shared<kx::Error>();
  start([done, result](const KXResultInfo&, const kx::Error& e) {
    *result = e;
    done->signal();
  });
  done->wait();
  if (error) *error = *result;
}

}  // namespace

struct KXFileWatcher::Stream {
  int fd = -1;
  int stopFd = -1;
  std::uint64_t generation = 0;
  std::string dataDirectory;
  std::map<int, std::string> folders;  // touched only on the watcher's queue
  ~Stream() {
    if (fd >= 0) ::close(fd);
    if (stopFd >= 0) ::close(stopFd);
  }
};

// ---- The environment's defaults ------------------------------------------------

KXDataClient& KXFileWatcherEnvironment::client() { return KXDataClient::defaultDataClient(); }

void KXFileWatcherEnvironment::save(std::function<void()> done) {
  client().state().performSave([done = std::move(done)](const KXResultInfo&, const kx::Error&) {
    if (done) done();
  });
}

void KXFileWatcherEnvironment::startSync() { KXNoteUtil::sharedUtil().startSync(); }

void KXFileWatcherEnvironment::refreshOffice() { KXSyncScriptBridge::installed()->refreshOffice(); }

// ---- The watcher ----------------------------------------------------------------

KXFileWatcher& KXFileWatcher::defaultFileWatcher() {
  static KXFileWatcher* watcher = new KXFileWatcher(nullptr, nullptr);
  return *watcher;
}

KXFileWatcher::KXFileWatcher(std::shared_ptr<KXFileWatcherEnvironment> environment,
                             std::shared_ptr<KXDelayClock> clock)
    : environment_(environment ? std::move(environment)
                               : std::make_shared<KXFileWatcherEnvironment>()),
      clock_(clock ? std::move(clock) : KXDelayClock::systemClock()),
      queue_(kQueueLabel) {
  std::shared_ptr<KXFileWatcherEnvironment> env = environment_;
  delayUtil_ = KXDelayRunUtil::utilWithDelaySec(
      kSaveWindowSeconds,
      [env](KXDelayRunUtil::Completion completion) {
        env->save([env, completion = std::move(completion)] {
          env->startSync();
          if (completion) completion();
        });
      },
      clock_);
}

KXFileWatcher::~KXFileWatcher() {
  stopWatchFileChange();
  queue_.sync([] {});
}

bool KXFileWatcher::startWatchFile(const std::string& dataDirectory) {
  stopWatchFileChange();
  auto stream = std::make_shared<Stream>();
  stream->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stream->stopFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (stream->fd < 0 || stream->stopFd < 0) {
    KXLOG("file watcher not started: %s", std::strerror(errno));
    return false;
  }
  stream->dataDirectory = kx::Path::standardizingPath(dataDirectory);
  {
    kx::MutexLock lock(mu_);
    stream->generation = ++generation_;
    stream_ = stream;
  }
  // The folders are watched before the reader starts, so that nothing
  // written after this call returns is missed.
  queue_.sync([this, stream] {
    dataDirectory_ = stream->dataDirectory;
    pending_.clear();
    int wd = ::inotify_add_watch(stream->fd, stream->dataDirectory.c_str(),
                                 IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    if (wd >= 0) stream->folders[wd] = stream->dataDirectory;
    for (const char* folder : {kContentsFolder, kResourcesFolder}) {
      const std::string path = stream->dataDirectory + "/" + folder;
      struct stat info {};
      // What is there before the start is not a change.
      if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        watchTree(stream, path, false);
      }
    }
  });
  kx::MutexLock lock(mu_);
  reader_ = std::thread([this, stream] { readLoop(stream); });
  return true;
}

void KXFileWatcher::stopWatchFileChange() {
  std::shared_ptr<Stream> stream;
  std::thread reader;
  {
    kx::MutexLock lock(mu_);
    ++generation_;
    stream = std::move(stream_);
    reader = std::move(reader_);
  }
  if (stream) {
    const std::uint64_t one = 1;
    kx::ignoreError(::write(stream->stopFd, &one, sizeof one));
  }
  if (reader.joinable()) reader.join();
}

bool KXFileWatcher::isWatching() const {
  kx::MutexLock lock(mu_);
  return stream_ != nullptr;
}

void KXFileWatcher::readLoop(std::shared_ptr<Stream> stream) {
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    pollfd fds[2] = {{stream->fd, POLLIN, 0}, {stream->stopFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      KXLOG("file watcher stopped: %s", std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;
    ssize_t length = ::read(stream->fd, buffer, sizeof buffer);
    if (length <= 0) continue;
    for (char* at = buffer; at < buffer + length;) {
      auto* event = reinterpret_cast<inotify_event*>(at);
      at += sizeof(inotify_event) + event->len;
      std::string name = event->len > 0 ? std::string(event->name) : std::string();
      const int wd = event->wd;
      const std::uint32_t mask = event->mask;
      queue_.async([this, stream, wd, mask, name] { receive(stream, wd, mask, name); });
    }
  }
}

void KXFileWatcher::receive(const std::shared_ptr<Stream>& stream, int wd, std::uint32_t mask,
                            const std::string& name) {
  KX_DCHECK_ON_QUEUE(queue_,
                     "the watcher's folders and pending paths are touched only on its queue");
  {
    kx::MutexLock lock(mu_);
    if (stream->generation != generation_) return;
  }
  if (mask & IN_Q_OVERFLOW) {
    KXLOG("file watcher: the kernel dropped events");
    return;
  }
  if (mask & IN_IGNORED) {
    stream->folders.erase(wd);
    return;
  }
  auto folder = stream->folders.find(wd);
  if (folder == stream->folders.end() || name.empty()) return;
  const std::string path = folder->second + "/" + name;
  if (mask & IN_ISDIR) {
    if (!(mask & (IN_CREATE | IN_MOVED_TO))) return;
    if (folder->second == stream->dataDirectory && name != kContentsFolder &&
        name != kResourcesFolder) {
      return;
    }
    watchTree(stream, path, true);
    return;
  }
  if (folder->second == stream->dataDirectory) return;  // only the two trees
  if (mask & kFileEvents) addPending(path);
}

void KXFileWatcher::watchTree(const std::shared_ptr<Stream>& stream, const std::string& path,
                              bool filesAreNew) {
  KX_DCHECK_ON_QUEUE(queue_,
                     "the watcher's folders and pending paths are touched only on its queue");
  int wd = ::inotify_add_watch(stream->fd, path.c_str(),
                               kFileEvents | IN_ONLYDIR | IN_DELETE_SELF | IN_MOVE_SELF);
  if (wd < 0) {
    KXLOG("folder %s not watched: %s", path.c_str(), std::strerror(errno));
    return;
  }
  stream->folders[wd] = path;
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return;
  std::vector<std::string> folders;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = path + "/" + name;
    struct stat info {};
    if (::lstat(child.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      folders.push_back(child);
    } else if (S_ISREG(info.st_mode) && filesAreNew) {
      // Written before the folder was watched.
      addPending(child);
    }
  }
  ::closedir(dir);
  for (const std::string& folder : folders) watchTree(stream, folder, filesAreNew);
}

void KXFileWatcher::addPending(const std::string& path) {
  KX_DCHECK_ON_QUEUE(queue_,
                     "the watcher's folders and pending paths are touched only on its queue");
  if (std::find(pending_.begin(), pending_.end(), path) == pending_.end()) {
    pending_.push_back(path);
  }
  if (batchArmed_) return;
  batchArmed_ = true;
  std::uint64_t generation;
  {
    kx::MutexLock lock(mu_);
    generation = generation_;
  }
  clock_->after(kLatencySeconds, queue_, [this, generation] { handleBatch(generation); });
}

std::vector<std::string> KXFileWatcher::pendingPaths() {
  std::vector<std::string> paths;
  queue_.sync([&] { paths = pending_; });
  return paths;
}

void KXFileWatcher::handleBatch(std::uint64_t generation) {
  KX_DCHECK_ON_QUEUE(queue_,
                     "the watcher's folders and pending paths are touched only on its queue");
  batchArmed_ = false;
  std::vector<std::string> batch = std::exchange(pending_, {});
  {
    kx::MutexLock lock(mu_);
    if (generation != generation_) return;
  }
  for (const std::string& path : batch) handlePath(path);
  std::int64_t count;
  {
    kx::MutexLock lock(mu_);
    eventCount_ += static_cast<std::int64_t>(batch.size());
    count = eventCount_;
  }
  kx::Error error;
  if (!kx::UserDefaults::standardUserDefaults().setInteger(count, kEventIdKey, &error)) {
    KXLOG("event id not stored: %s", error.localizedDescription().c_str());
  }
}

std::int64_t KXFileWatcher::syncEventID() const {
  kx::MutexLock lock(mu_);
  return eventCount_;
}

void KXFileWatcher::handlePath(const std::string& path) {
  KX_DCHECK_ON_QUEUE(queue_,
                     "the watcher's folders and pending paths are touched only on its queue");
  KXLOG("检测到文件变更了");
  KXLOG("文件变更地址是%s", path.c_str());
  const std::string prefix = dataDirectory_ + "/";
  if (path.compare(0, prefix.size(), prefix) != 0) return;
  const std::vector<std::string> parts = Components(path.substr(prefix.size()));
  if (parts.empty()) return;

  struct stat info {};
  const bool haveAttributes = ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  std::int64_t size = 0;
  std::int64_t modifyTime = 0;
  if (haveAttributes) {
    size = static_cast<std::int64_t>(info.st_size);
    modifyTime = static_cast<std::int64_t>(info.st_mtim.tv_sec);
  } else {
    KXLOG("文件描述符获取不到，计算文件体积");
    std::optional<std::string> bytes = ReadWhole(path);
    size = bytes ? static_cast<std::int64_t>(bytes->size()) : 0;
    modifyTime = static_cast<std::int64_t>(kx::Time::nowSeconds());
  }
  if (size < kMinimumSize) {
    KXLOG("文件小于 500B");
    return;
  }
  if (parts[0] == kResourcesFolder) {
    handleAttachment(path, size, modifyTime, haveAttributes);
  } else if (parts[0] == kContentsFolder && parts.size() == 3) {
    handleStoredFile(path, parts[1], size, modifyTime, haveAttributes);
  }
}

bool KXFileWatcher::handleStoredFile(const std::string& path, const std::string& fileId,
                                     std::int64_t size, std::int64_t modifyTime,
                                     bool haveAttributes) {
  KXLOG("文件内容变更");
  KXDataClient& client = environment_->client();
  KXFileMetaPtr entry = client.reads().objectForFileMetaID(fileId);
  // Notes are written by the editor, which marks them itself.
  if (!entry || !entry->isKindOfEntity("NormalFile")) return false;
  if (kx::Text::toString(entry->integerValue("modifyTime")) == kx::Text::toString(modifyTime)) {
    return false;
  }
  const std::string title = entry->stringValue("title");
  if (!haveAttributes) {
    KXLOG("文件描述符为nil");
    if (!NSStringDupTitle::isPdf(title)) return false;
  }
  const std::string stored = entry->isNil("md5") ? std::string() : entry->stringValue("md5");
  std::optional<std::string> digest = FileMD5(path);
  if (!digest) return false;
  if (!stored.empty() && Lower(stored) == *digest) {
    return false;  // the bytes the store knows: written by the client itself
  }
  const std::int64_t version = entry->integerValue("version") + 1;
  kx::Dictionary fields{
      {"localModified", kx::Value(true)},    {"size", kx::Value(size)},
      {"modifyTime", kx::Value(modifyTime)}, {"transactionTime", kx::Value(modifyTime)},
      {"version", kx::Value(version)},       {"contentChanged", kx::Value(true)}};
  kx::Array changes{
      kx::Value::dict({{KXEntryWrites::kModifyIdentityKey, entry->objectID().toValue()},
                       {KXEntryWrites::kModifyFieldsKey, kx::Value(std::move(fields))},
                       {KXEntryWrites::kModifyVersionKey, kx::Value(version)}})};
  kx::Error error;
  WaitForStore(
      [&](KXDataCallback done) { client.writes().modifyNormalFiles(changes, std::move(done)); },
      &error);
  if (error) {
    KXLOG("changed file %s not marked: %s", fileId.c_str(), error.localizedDescription().c_str());
    return false;
  }
  if (kx::Path::pathExtension(path).find("ppt") != std::string::npos) {
    KXLOG("PPT同步成功");
    delayUtil_->runWithCallback(nullptr);
  } else {
    std::shared_ptr<KXFileWatcherEnvironment> env = environment_;
    std::shared_ptr<KXDelayClock> clock = clock_;
    delayUtil_->runWithCallback([env, clock] {
      KXLOG("excel word同步成功");
      clock->after(kRefreshDelaySeconds, kx::MainQueue::shared(), [env] { env->refreshOffice(); });
    });
  }
  return true;
}

bool KXFileWatcher::handleAttachment(const std::string& path, std::int64_t size,
                                     std::int64_t modifyTime, bool haveAttributes) {
  std::string resourceId;
  std::string noteId;
  {
    kx::MutexLock lock(mu_);
    for (const kx::Value& entry : previewed_) {
      if (entry["filePath"].stringValue() == path) {
        resourceId = entry["resourceId"].stringValue();
        noteId = entry["fileId"].stringValue();
      }
    }
  }
  if (resourceId.empty() || noteId.empty()) return false;  // never previewed here
  KXDataClient& client = environment_->client();
  std::shared_ptr<Resource> resource = client.reads().objectForResourceID(resourceId);
  KXFileMetaPtr note = client.reads().objectForFileMetaID(noteId);
  if (!resource || !note) return false;
  if (!haveAttributes) {
    KXLOG("文件描述符为nil");
    if (!NSStringDupTitle::isPdf(resource->title())) return false;
  }
  if (kx::Text::toString(resource->integerValue("modifyTime")) == kx::Text::toString(modifyTime)) {
    return false;
  }
  kx::Dictionary record{{"localModified", kx::Value(1)},
                        {KXEditorSave::kResourceInfoModifiedInLocalKey, kx::Value(1)},
                        {KXEditorSave::kResourceInfoIdKey, kx::Value(resourceId)},
                        {"size", kx::Value(size)},
                        {"noteId", kx::Value(noteId)},
                        {"modifyTime", kx::Value(modifyTime)}};
  kx::Error error;
  WaitForStore(
      [&](KXDataCallback done) {
        client.editorSave().createOrUpdateResourceMeta(record, std::move(done));
      },
      &error);
  if (error) return false;
  const std::int64_t version = note->integerValue("version") + 1;
  kx::Dictionary fields{{"modifyTime", kx::Value(modifyTime)},
                        {"localModified", kx::Value(true)},
                        {"transactionTime", kx::Value(modifyTime)},
                        {"version", kx::Value(version)},
                        {"contentChanged", kx::Value(true)}};
  kx::Array changes{
      kx::Value::dict({{KXEntryWrites::kModifyIdentityKey, note->objectID().toValue()},
                       {KXEntryWrites::kModifyFieldsKey, kx::Value(std::move(fields))},
                       {KXEntryWrites::kModifyVersionKey, kx::Value(version)}})};
  WaitForStore(
      [&](KXDataCallback done) { client.writes().modifyFileMetas(changes, std::move(done)); },
      &error);
  if (error) return false;
  std::vector<std::string> resourceIds;
  client.reads().performSyncReadBlock([&] {
    if (auto stored = client.reads().objectForFileMetaID(noteId)) {
      for (const auto& held : stored->resources()) resourceIds.push_back(held->fileId());
    }
  });
  std::string content =
      NSStringDupTitle::clearXml(KXNoteUtil::contentForRequestForNote(noteId, resourceIds));
  content = KXNoteUtil::replaceFileSize(content, resourceId, kx::Value(size));
  auto written = std::make_shared<kx::Semaphore>();
  KXFileManager::defaultManauger().writeContentFile(
      kx::ByteView(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()), noteId,
      [written](const kx::Error&) { written->signal(); });
  written->wait();
  delayUtil_->runWithCallback(nullptr);
  return true;
}

void KXFileWatcher::addResourceIdEntry(const std::string& filePath, const std::string& resourceId,
                                       const std::string& noteFileId) {
  kx::MutexLock lock(mu_);
  previewed_.push_back(kx::Value::dict({{"filePath", kx::Value(filePath)},
                                        {"resourceId", kx::Value(resourceId)},
                                        {"fileId", kx::Value(noteFileId)}}));
}

kx::Array KXFileWatcher::resourceIdEntryWithName() const {
  kx::MutexLock lock(mu_);
  return previewed_;
}
