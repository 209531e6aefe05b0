#include "WebRequest/KXWebSyncRequestHandler.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <regex>
#include <set>
#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/NSDictionaryKXHelper.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/DataUtil/KXFileMetaUtil.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/DataUtil/KXNoteUtil.h"
#include "Data/DataUtil/KXResourceUtil.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "Data/entities/User.h"
#include "WebRequest/KXClientErrorBody.h"
#include "WebRequest/KXLocalResponse.h"
#include "WebRequest/KXStoreAwait.h"
#include "WebRequest/KXURLError.h"
#include "WebRequest/KXWebRequestParameters.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/QueueCheck.h"
#include "platform/URL.h"

struct KXWebSyncRequestHandler::Request : std::enable_shared_from_this<Request> {
  kx::URL url;
  std::shared_ptr<KXDataRequestController> sender;
  std::vector<std::string> path;
  kx::Dictionary param;
  std::string method;

  const kx::Value* find(const char* key) const { return param.find(key); }
  std::string string(const char* key) const {
    const kx::Value* value = param.find(key);
    return value ? value->stringValue() : std::string();
  }

  void fail(const kx::Error& error) const {
    sender->localReceiveResponse(std::nullopt, std::nullopt, error);
  }
  void fail(std::int64_t code, const std::string& reason = {}) const {
    fail(KXURLError::make(code, reason.empty()
                                    ? kx::Value()
                                    : kx::Value::dict({{kx::kLocalizedDescriptionKey, reason}})));
  }
  void answer(int status, kx::HTTPHeaderFields headers, std::optional<kx::Bytes> body) const {
    sender->localReceiveResponse(KXLocalResponse::response(url, status, std::move(headers)),
                                 std::move(body), kx::Error());
  }
  void json(int status, const kx::Value& object, kx::HTTPHeaderFields headers = {}) const {
    answer(status, std::move(headers), KXLocalResponse::JSONBody(object));
  }
  void clientError(const std::string& code) const { KXClientErrorBody::send(*sender, url, code); }
};

namespace {

double SystemSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string Extension(const std::string& name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  std::size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

// The UTF-8 code points of the text, each as its byte sequence.
std::vector<std::string> CodePoints(const std::string& text) {
  std::vector<std::string> points;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = 1;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0xF0) {
      n = 4;
    } else if (c >= 0xE0) {
      n = 3;
    } else if (c >= 0xC0) {
      n = 2;
    }
    n = std::min(n, text.size() - i);
    points.push_back(text.substr(i, n));
    i += n;
  }
  return points;
}

std::string Join(const std::vector<std::string>& points, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count && i < points.size(); ++i) out += points[i];
  return out;
}

bool IsDuplicateTitleError(const kx::Error& error) {
  return error.domain() == kx::kCocoaErrorDomain &&
         error.code() == KXEditorSave::kDupTitleErrorCode && error.userInfo().isDictionary();
}

// The content file of the entry as it is now, to put back when a change
// fails after the file was written.
struct ContentBackup {
  std::string path;
  std::optional<kx::Bytes> bytes;  // nullopt: there was no file

  static ContentBackup take(const std::string& fileId, const std::string& fileName) {
    ContentBackup backup;
    backup.path = KXFileManager::defaultManauger().URLForContentFile(fileId, false, fileName);
    kx::Bytes bytes;
    kx::Error error;
    if (!backup.path.empty() && kx::FileSystem::Default().readFile(backup.path, &bytes, &error)) {
      backup.bytes = std::move(bytes);
    }
    return backup;
  }
  void restore() const {
    if (path.empty()) return;
    kx::FileSystem& fs = kx::FileSystem::Default();
    kx::Error error;
    if (bytes) {
      if (!fs.writeFileAtomically(path, *bytes, &error)) {
        KXLOG("content %s not restored: %s", path.c_str(), error.localizedDescription().c_str());
      }
    } else {
      kx::ignoreError(fs.removeFile(path, &error));
    }
  }
};

}  // namespace

// ---- Set-up -------------------------------------------------------------------

KXWebSyncRequestHandler& KXWebSyncRequestHandler::sharedHandler() {
  static KXWebSyncRequestHandler* handler = new KXWebSyncRequestHandler(
      KXDataClient::defaultDataClient(), KXFileMetaUtil::sharedUtil(), KXNoteUtil::sharedUtil(),
      [] { KXNoteUtil::sharedUtil().startSync(); });
  return *handler;
}

KXWebSyncRequestHandler::KXWebSyncRequestHandler(KXDataClient& client, KXFileMetaUtil& fileMetaUtil,
                                                 KXNoteUtil& noteUtil, SyncRequest syncRequest,
                                                 Clock clock)
    : client_(client),
      fileMetaUtil_(fileMetaUtil),
      noteUtil_(noteUtil),
      syncRequest_(std::move(syncRequest)),
      clock_(clock ? std::move(clock) : Clock(SystemSeconds)),
      workQueue_(std::make_shared<kx::SerialQueue>(kQueueLabel)),
      life_(std::make_shared<Life>()) {
  KXDataClient* store = &client_;
  SyncRequest sync = syncRequest_;
  std::shared_ptr<Life> life = life_;
  // The window may close after the handler (and the client it was given)
  // is gone: the save then starts only while the handler lives, and the
  // destructor waits for one that is starting.
  delayUtil_ = KXDelayRunUtil::utilWithDelaySec(
      kSaveDelaySeconds, [store, sync, life](KXDelayRunUtil::Completion done) {
        {
          kx::MutexLock lock(life->mu);
          if (life->alive) {
            store->state().performSave([sync, done](const KXResultInfo&, const kx::Error&) {
              if (sync) sync();
              if (done) done();
            });
            return;
          }
        }
        if (done) done();
      });
}

KXWebSyncRequestHandler::~KXWebSyncRequestHandler() {
  // Pushes still queued finish before the state they use goes; a retry
  // that comes later is answered without running.
  workQueue_->sync([] {});
  kx::MutexLock lock(life_->mu);
  life_->alive = false;
}

std::size_t KXWebSyncRequestHandler::transferCount() const {
  kx::MutexLock lock(mu_);
  return transmIdTable_.size();
}

void KXWebSyncRequestHandler::setSaveRetrySecondsForTesting(double seconds) {
  kx::MutexLock lock(mu_);
  saveRetrySeconds_ = seconds;
}

void KXWebSyncRequestHandler::setUploadWriteFunctionForTesting(
    KXWebDataStreamHandler::WriteFunction write) {
  kx::MutexLock lock(mu_);
  uploadWrite_ = std::move(write);
}

// ---- Helpers ------------------------------------------------------------------

bool KXWebSyncRequestHandler::isValidId(std::string_view id) {
  if (id.empty() || id.size() > kMaxIdLength) return false;
  return std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
  });
}

std::string KXWebSyncRequestHandler::cutName(const std::string& name) {
  std::vector<std::string> points = CodePoints(name);
  if (points.size() <= kMaxNameLength) return name;
  std::size_t dot = name.rfind('.');
  std::vector<std::string> extension =
      dot == std::string::npos ? std::vector<std::string>() : CodePoints(name.substr(dot + 1));
  if (dot == std::string::npos || extension.size() >= kMaxNameLength) {
    return Join(points, kMaxNameLength);
  }
  return Join(points, kMaxNameLength - 1 - extension.size()) + "." + Join(extension, SIZE_MAX);
}

std::string KXWebSyncRequestHandler::contentDisposition(const std::string& title) {
  std::string out = "filename=\"";
  for (char c : title) {
    if (c == '\r' || c == '\n' || c == '\0') continue;
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

void KXWebSyncRequestHandler::matchFileString(const std::string& fileString,
                                              const std::string& resourceId) {
  (void)fileString;
  kx::MutexLock lock(mu_);
  cacheResources_.push_back(resourceId);
}

void KXWebSyncRequestHandler::removeMatchFileString(const std::string& fileString,
                                                    const std::string& resourceId) {
  (void)fileString;
  kx::MutexLock lock(mu_);
  cacheResources_.erase(std::remove(cacheResources_.begin(), cacheResources_.end(), resourceId),
                        cacheResources_.end());
}

bool KXWebSyncRequestHandler::containResourceId(const std::string& resourceId) const {
  kx::MutexLock lock(mu_);
  return std::find(cacheResources_.begin(), cacheResources_.end(), resourceId) !=
         cacheResources_.end();
}

kx::Dictionary KXWebSyncRequestHandler::parseResourceWithFileId(const std::string& fileId,
                                                                const std::string& content) {
  kx::Array added;
  kx::Array kept;
  kx::Array removed;
  std::vector<std::string> removedIds;
  if (KXFileMetaPtr note = client_.reads().objectForFileMetaID(fileId)) {
    for (const std::shared_ptr<Resource>& resource : note->resources()) {
      const std::string id = resource->fileId();
      kx::Value record = kx::Value::dict({{"id", id}, {"size", (long long)resource->size()}});
      if (content.find(id) != std::string::npos) {
        kept.push_back(std::move(record));
      } else {
        removed.push_back(std::move(record));
        removedIds.push_back(id);
      }
    }
  }
  std::vector<std::string> candidates;
  {
    kx::MutexLock lock(mu_);
    auto held = delResources_.find(fileId);
    if (held == delResources_.end()) {
      delResources_.clear();
    } else {
      candidates = held->second;
    }
    candidates.insert(candidates.end(), cacheResources_.begin(), cacheResources_.end());
    if (!removedIds.empty()) {
      std::vector<std::string>& list = delResources_[fileId];
      std::vector<std::string> merged = removedIds;
      merged.insert(merged.end(), list.begin(), list.end());
      list = std::move(merged);
    }
  }
  kx::Array newIds;
  std::set<std::string> seen;
  for (const std::string& id : candidates) {
    if (content.find(id) == std::string::npos || seen.count(id)) continue;
    std::shared_ptr<Resource> resource = client_.reads().objectForResourceID(id);
    if (!resource) return kx::Dictionary{{"retry", true}};
    added.push_back(kx::Value::dict({{"id", id}, {"size", (long long)resource->size()}}));
    newIds.push_back(kx::Value(id));
    seen.insert(id);
  }
  return kx::Dictionary{
      {"newResIds", kx::Value(std::move(newIds))},
      {"resInfos", kx::Value(kx::Array{kx::Value(std::move(added)), kx::Value(std::move(kept)),
                                       kx::Value(std::move(removed))})}};
}

kx::Error KXWebSyncRequestHandler::saveStore() {
  KXStoreOutcome saved = KXStoreAwait::call(
      [&](KXDataCallback done) { client_.state().performSave(std::move(done)); });
  if (saved.error) return saved.error;
  if (saved.info.hasResult && saved.info.value.isBool() && !saved.info.value.boolValue()) {
    return KXURLError::make(
        KXURLErrorUnknown, kx::Value::dict({{kx::kLocalizedDescriptionKey, "Save Database Fail"}}));
  }
  return kx::Error();
}

void KXWebSyncRequestHandler::saveAndSync() { delayUtil_->runWithCallback(nullptr); }

void KXWebSyncRequestHandler::answerEntry(const Request& request, const std::string& fileId) {
  KXStoreOutcome entry = KXStoreAwait::call([&](KXDataCallback done) {
    client_.writes().entryOnWrittenContextForFileId(fileId, true, false, std::move(done));
  });
  if (entry.error) {
    request.fail(entry.error);
  } else if (!entry.info.hasResult || !entry.info.value.isDictionary()) {
    request.fail(KXURLErrorResourceUnavailable);
  } else {
    request.json(200, entry.info.value);
  }
}

std::shared_ptr<KXWebDataStreamHandler> KXWebSyncRequestHandler::transferReader(
    const std::string& transmitId) {
  kx::MutexLock lock(mu_);
  auto found = transmIdTable_.find(transmitId);
  if (found == transmIdTable_.end()) return nullptr;
  found->second.lastActivity = clock_();
  return found->second.reader;
}

void KXWebSyncRequestHandler::forgetTransfer(const std::string& transmitId) {
  std::shared_ptr<KXWebDataStreamHandler> reader;
  {
    kx::MutexLock lock(mu_);
    auto found = transmIdTable_.find(transmitId);
    if (found == transmIdTable_.end()) return;
    reader = std::move(found->second.reader);
    transmIdTable_.erase(found);
  }
  if (reader) reader->removeTemporary();
}

// ---- Dispatch -----------------------------------------------------------------

bool KXWebSyncRequestHandler::acceptRequest(const kx::URLRequest& request) const {
  std::vector<std::string> c = KXWebRequestParameters::pathComponents(request.url().path());
  if (c.size() < 4 || c[0] != "qrt" || (c[1] != "mapi" && c[1] != "api") || c[2] != "personal" ||
      c[3] != "sync") {
    return false;
  }
  return c.size() < 5 || (c[4] != "blepenbook" && c[4] != "clientEditorStrategy");
}

void KXWebSyncRequestHandler::handleRequest(const kx::URLRequest& urlRequest,
                                            std::shared_ptr<KXDataRequestController> sender) {
  auto request = std::make_shared<Request>();
  request->url = urlRequest.url();
  request->sender = std::move(sender);
  request->path = KXWebRequestParameters::pathComponents(request->url.path());

  // Only pages of the service reach the store.
  if (Lower(request->url.host()) != KXServiceHost()) {
    request->fail(KXURLErrorBadURL, "not the service host");
    return;
  }

  const bool isUpload =
      request->path.size() >= 5 && request->path[3] == "sync" && request->path[4] == "upload";
  std::string query = ReplaceAll(request->url.query().value_or(""), "+", " ");
  kx::Dictionary params = NSDictionaryKXHelper::dictionaryFromQuery(query, kKXUTF8Encoding);
  std::string method = params["method"].stringValue();
  if (!isUpload) {
    std::optional<kx::Bytes> body = urlRequest.HTTPBody();
    if (!body && urlRequest.HTTPBodyStream()) {
      // A form body that came as a stream: read it whole (bounded).
      kx::Bytes read;
      std::uint8_t buffer[KXWebDataStreamHandler::kChunkSize];
      while (true) {
        kx::Error error;
        std::ptrdiff_t n = urlRequest.HTTPBodyStream()->read(buffer, sizeof buffer, &error);
        if (n < 0) {
          request->fail(KXURLError::make(KXURLErrorStreamFailed,
                                         kx::Value::dict({{"status", "Network read error"}})));
          return;
        }
        if (n == 0) break;
        read.insert(read.end(), buffer, buffer + n);
        if (read.size() > kMaxFormBodyBytes) {
          request->fail(KXURLErrorBadURL, "body too large");
          return;
        }
      }
      body = std::move(read);
    }
    if (body && !body->empty()) {
      std::string text(body->begin(), body->end());
      kx::Dictionary form = NSDictionaryKXHelper::dictionaryWithFormatedString(text, "&", "=");
      if (method.empty()) method = form["method"].stringValue();
      for (const auto& [key, value] : form) {
        if (value.isString()) {
          std::optional<std::string> decoded = kx::percentDecode(value.string());
          params.set(key, decoded ? *decoded : value.string());
        } else {
          params.set(key, value);
        }
      }
    }
  }
  request->param = std::move(params);
  request->method = method;

  // Ids name rows and files: only the store's id characters pass.
  for (const char* key : {"fileId", "parentId", "transmitId", "resourceId"}) {
    const kx::Value* value = request->find(key);
    if (value && !value->stringValue().empty() && !isValidId(value->stringValue())) {
      request->fail(KXURLErrorBadURL, std::string("invalid ") + key);
      return;
    }
  }

  if (isUpload) {
    upload(*request, urlRequest);
    return;
  }
  if (method.empty()) {
    request->fail(KXURLErrorBadURL, "no method");
    return;
  }
  if (const SyncMethod* found = methods().find(method)) {
    (this->*found->call)(*request);
  } else {
    request->fail(KXURLErrorBadURL, "unknown method");
  }
}

KXHandlerMethods<KXWebSyncRequestHandler::SyncMethod> KXWebSyncRequestHandler::methods() {
  using Handler = KXWebSyncRequestHandler;
  constexpr KXRequestType kChange = KXRequestTypeServiceChange;
  static constexpr SyncMethod kMethods[] = {
      {"push", &Handler::queuePush, kChange},
      {"setstick", &Handler::queuePush, kChange},
      {"copy", &Handler::copy, kChange},
      {"delete", &Handler::remove, kChange},
      {"erase", &Handler::remove, kChange},
      {"recover", &Handler::recover, kChange},
      {"putResource", &Handler::queuePutResource, kChange},
      {"download", &Handler::download, KXRequestTypeServiceRead},
  };
  return kMethods;
}

KXRequestType KXWebSyncRequestHandler::methodEffect(std::string_view method) {
  const SyncMethod* found = methods().find(method);
  return found ? found->effect : KXRequestTypeNotTaken;
}

void KXWebSyncRequestHandler::queuePush(const Request& request) {
  workQueue_->async([this, request = request.shared_from_this()] { push(request, 0); });
}

void KXWebSyncRequestHandler::queuePutResource(const Request& request) {
  workQueue_->async([this, request = request.shared_from_this()] { putResource(*request); });
}

// ---- Transfers ------------------------------------------------------------------

void KXWebSyncRequestHandler::upload(const Request& request, const kx::URLRequest& r) {
  if (request.path.size() == 5) {
    std::string id;
    {
      kx::MutexLock lock(mu_);
      const double now = clock_();
      for (auto it = transmIdTable_.begin(); it != transmIdTable_.end();) {
        if (now - it->second.lastActivity > kTransferIdleSeconds) {
          it->second.reader->removeTemporary();
          it = transmIdTable_.erase(it);
        } else {
          ++it;
        }
      }
      do {
        id = std::to_string(static_cast<long long>(now) + counter_++);
      } while (transmIdTable_.count(id));
      auto reader = std::make_shared<KXWebDataStreamHandler>(
          client_, KXFileManager::defaultManauger().URLForTempFile());
      if (uploadWrite_) reader->setWriteFunctionForTesting(uploadWrite_);
      transmIdTable_[id] = Transfer{std::move(reader), now};
    }
    kx::HTTPHeaderFields headers;
    headers.set("Location", "/qrt/api/personal/sync/upload/" + id);
    request.json(200, kx::Value::dict({{"transmitId", id}}), std::move(headers));
    return;
  }
  const std::string& transmitId = request.path[5];
  std::shared_ptr<KXWebDataStreamHandler> reader =
      isValidId(transmitId) ? transferReader(transmitId) : nullptr;
  if (!reader) {
    request.fail(KXURLErrorBadURL, "no such transfer");
    return;
  }
  if (r.valueForHTTPHeaderField("Content-Range")) {
    kx::HTTPHeaderFields headers;
    headers.set("Range", reader->dataRange());
    request.answer(200, std::move(headers), std::nullopt);
    return;
  }
  // A body is announced by "Content-Length"; the front takes that field
  // off and hands the body itself (whole, or as a stream with its length).
  std::optional<std::string> length = r.valueForHTTPHeaderField("Content-Length");
  std::shared_ptr<kx::InputStream> stream = r.HTTPBodyStream();
  if (!length && !stream && !r.HTTPBody()) {
    request.answer(200, {}, std::nullopt);
    return;
  }
  if (!stream) stream = std::make_shared<kx::BytesInputStream>(r.HTTPBody().value_or(kx::Bytes()));
  std::int64_t expected = stream->expectedLength();
  if (length) {
    try {
      expected = std::stoll(*length);
    } catch (...) {
      expected = -1;
    }
  }
  kx::Error failure;
  reader->obtainData(*stream, expected,
                     [&](std::int64_t, const kx::Error& error) { failure = error; });
  transferReader(transmitId);  // a long body counts as activity
  if (failure) {
    request.fail(failure);
    return;
  }
  kx::HTTPHeaderFields headers;
  headers.set("Range", reader->dataRange());
  request.answer(200, std::move(headers), std::nullopt);
}

void KXWebSyncRequestHandler::putResource(const Request& request) {
  KX_DCHECK_ON_QUEUE(*workQueue_, "putResource runs one at a time on the work queue");
  const std::string transmitId = request.string("transmitId");
  std::shared_ptr<KXWebDataStreamHandler> reader = transferReader(transmitId);
  if (!reader) {
    request.fail(KXURLErrorBadURL, "no such transfer");
    return;
  }
  if (request.string("resourceId").empty()) {
    request.fail(KXURLErrorBadURL, "no resourceId");
    return;
  }
  std::shared_ptr<Resource> resource;
  std::shared_ptr<Resource> icon;
  kx::Error error;
  const bool idle = reader->runWhenIdle([&](std::int64_t) {
    reader->storeResource(
        request.param, [&](std::shared_ptr<Resource> stored, std::shared_ptr<Resource> storedIcon,
                           const kx::Error& storeError) {
          resource = std::move(stored);
          icon = std::move(storedIcon);
          error = storeError;
        });
  });
  if (!idle) {
    request.fail(KXURLErrorResourceUnavailable, "upload still running");
    return;
  }
  if (error || !resource) {
    request.fail(error ? error : KXURLError::make(KXURLErrorCannotFindResource));
    return;
  }
  forgetTransfer(transmitId);
  {
    kx::MutexLock lock(mu_);
    cacheResources_.push_back(resource->fileId());
    if (icon) cacheResources_.push_back(icon->fileId());
  }
  const std::string base = "//" + KXServiceHost() + "/src/";
  kx::HTTPHeaderFields headers;
  headers.set("url", base + request.string("resourceId"));
  headers.set("src", base + (icon ? icon->fileId() : request.string("resourceId")));
  std::string mime = "application/octet-stream";
  if (std::shared_ptr<ResourceEntry> entry = resource->entry()) {
    kx::Bytes head;
    kx::Error readError;
    std::unique_ptr<kx::SequentialFile> file =
        kx::FileSystem::Default().newSequentialFile(entry->file(), &readError);
    std::size_t got = 0;
    head.resize(65536);
    if (file && file->read(head.data(), head.size(), &got, &readError)) {
      head.resize(got);
      mime = KXResourceUtil::sharedUtil().mimetypeOfData(&head).value_or(mime);
    }
  }
  request.json(200,
               kx::Value::dict({{"fileSize", (long long)resource->size()},
                                {"resourceName", resource->title()},
                                {"resourceMime", mime},
                                {"createTimeForSort", resource->value("createTime")},
                                {"modifyTimeForSort", resource->value("modifyTime")}}),
               std::move(headers));
}

void KXWebSyncRequestHandler::download(const Request& request) {
  const kx::Value* fileIdValue = request.find("fileId");
  if (!fileIdValue) {
    request.fail(KXURLErrorBadURL, "no fileId");
    return;
  }
  const std::string fileId = fileIdValue->stringValue();
  const bool convert = request.string("convert") == "true";
  KXFileMetaPtr entry = client_.reads().objectForFileMetaID(fileId);
  KXFileManager& files = KXFileManager::defaultManauger();
  kx::Bytes body;
  if (entry && entry->domain() == 0 && !entry->dir()) {
    std::string content =
        ReplaceAll(files.readStringContentFileSync(fileId, false), "src=\"DEFAULTIMAGE\"",
                   "src=\"./vendor/kxeditor/unknown.png\"");
    if (content == KXFileManager::missingContentText() && !entry->remoteRemoved()) {
      request.clientError(kKXClientErrorNoteNotExist);
      return;
    }
    if (convert && !content.empty()) body.assign(content.begin(), content.end());
  } else {
    std::optional<kx::Bytes> bytes =
        files.readDataContentFileSync(fileId, entry ? entry->title() : std::string());
    if (bytes) body = std::move(*bytes);
  }
  kx::HTTPHeaderFields headers;
  if (entry) headers.set("Content-Disposition", contentDisposition(entry->title()));
  request.answer(200, std::move(headers), std::move(body));
}

// ---- Changes ------------------------------------------------------------------

void KXWebSyncRequestHandler::push(std::shared_ptr<const Request> request, int retry) {
  KX_DCHECK_ON_QUEUE(*workQueue_, "pushes run one at a time on the work queue");
  const Request& r = *request;
  const kx::Value* fileIdValue = r.find("fileId");
  const kx::Value* domainValue = r.find("domain");
  if (!fileIdValue || !domainValue || fileIdValue->stringValue().empty()) {
    r.fail(KXURLErrorBadURL, "fileId and domain are needed");
    return;
  }
  const std::string fileId = fileIdValue->stringValue();
  const std::int64_t domain = domainValue->intValue();
  const bool pin = r.method == "setstick";
  KXFileMetaPtr entry = client_.reads().objectForFileMetaID(fileId);
  const kx::Value* bodyValue = r.find("bodyString");
  std::optional<std::string> bodyString =
      bodyValue ? std::optional<std::string>(bodyValue->stringValue()) : std::nullopt;
  std::optional<std::string> name =
      r.find("name") ? std::optional<std::string>(cutName(r.string("name"))) : std::nullopt;
  const std::string knownName = name ? *name : (entry ? entry->title() : std::string());

  if (entry && !entry->dir() && bodyString) {
    const std::string path =
        KXFileManager::defaultManauger().URLForContentFile(fileId, false, entry->title());
    if (path.empty() || !kx::FileSystem::Default().exists(path)) {
      r.clientError(kKXClientErrorNoteNotExist);
      return;
    }
  }
  KXFileMetaPtr target =
      r.find("parentId") ? client_.reads().objectForFileMetaID(r.string("parentId")) : nullptr;

  auto duplicate = [&](const kx::Dictionary& dup) {
    r.json(500, kx::Value(KXClientErrorBody::duplicateFileName(
                    KXHooks::currentUser(), fileId, dup[kKXDupTitleDupFileIdKey].stringValue(),
                    dup[kKXDupTitleNewTitleKey].stringValue())));
  };
  auto fail = [&](const kx::Error& error) {
    if (IsDuplicateTitleError(error)) {
      duplicate(error.userInfo().dict());
    } else if (KXURLError::is(error, KXURLErrorMoveIntoOwnSubtree)) {
      r.clientError(kKXClientErrorMoveParentToChild);
    } else {
      r.fail(error);
    }
  };
  const std::string className =
      entry ? (entry->dir() ? "Notebook" : (entry->isKindOfEntity("Note") ? "Note" : "NormalFile"))
            : "NormalFile";

  // A move: an existing live entry, an existing target that is not its
  // parent. Nothing else of the request applies.
  if (entry && !entry->del() && target && target->fileId() != entry->parentId()) {
    if (!knownName.empty()) {
      kx::Dictionary dup = client_.reads().titleOfDuplicateTitle(
          r.find("name") ? std::optional<std::string>(knownName) : entry->title(), target->fileId(),
          fileId, className);
      if (dup[kKXDupTitleIsDupKey].boolValue()) {
        duplicate(dup);
        return;
      }
    }
    if (entry->dir() && client_.reads().fileMeta(target, fileId)) {
      fail(KXURLError::make(KXURLErrorMoveIntoOwnSubtree));
      return;
    }
    KXStoreOutcome moved = KXStoreAwait::call([&](KXDataCallback done) {
      fileMetaUtil_.movefileIds({fileId}, target->fileId(), std::move(done));
    });
    if (moved.error) {
      fail(moved.error);
      return;
    }
    if (kx::Error saveError = saveStore()) {
      r.fail(saveError);
      return;
    }
    answerEntry(r, fileId);
    saveAndSync();
    return;
  }

  std::optional<kx::Dictionary> converted =
      KXNameDict::namesConvertFromClientToServer(kx::Value(r.param));
  kx::Dictionary fields = converted.value_or(kx::Dictionary());
  if (name) fields.set("title", *name);
  std::shared_ptr<KXWebDataStreamHandler> reader;
  std::string transmitId = r.string("transmitId");
  if (!transmitId.empty()) reader = transferReader(transmitId);
  if (reader) {
    fields.set("size", (long long)reader->bytesRead());
    fields.set("contentChanged", true);
  }
  // A folder is never saved as a note, whatever domain the page sent.
  const bool folder = (entry && entry->dir()) || fields["dir"].boolValue();
  const bool noteSave =
      !folder && (domain == 0 || (domain == 1 && Lower(Extension(knownName)) == "md"));
  // The file name of the entry's content: its (new) title.
  std::string contentName = fields.contains("title") ? fields["title"].stringValue() : knownName;

  std::optional<std::string> content;
  kx::Dictionary resourceChange;
  if (noteSave) {
    if (domain == 0 && fields.contains("title") &&
        Lower(Extension(fields["title"].stringValue())) != "note") {
      fields.set("title", fields["title"].stringValue() + ".note");
      contentName = fields["title"].stringValue();
    }
    if (bodyString && *bodyString != KXFileManager::missingContentText()) {
      const std::string md5 = Lower(NSStringDupTitle::MD5String(*bodyString));
      if (entry && entry->value("md5").stringValue() == md5) {
        r.fail(KXURLErrorCannotCopy, "content unchanged");
        return;
      }
      fields.set("md5", md5);
      std::string body =
          ReplaceAll(*bodyString, "src=\"./vendor/kxeditor/unknown.png\"", "src=\"DEFAULTIMAGE\"");
      resourceChange = parseResourceWithFileId(fileId, body);
      if (resourceChange["retry"].boolValue()) {
        if (retry < kMaxSaveRetries - 1) {
          double delay = 0;
          {
            kx::MutexLock lock(mu_);
            delay = saveRetrySeconds_;
          }
          std::shared_ptr<kx::SerialQueue> queue = workQueue_;
          std::shared_ptr<Life> life = life_;
          kx::GlobalQueue::get().after(delay, [this, queue, life, request, retry] {
            queue->async([this, life, request, retry] {
              kx::MutexLock lock(life->mu);
              if (!life->alive) {
                request->fail(KXURLErrorUnknown, "the handler is gone");
                return;
              }
              push(request, retry + 1);
            });
          });
          return;
        }
        resourceChange = kx::Dictionary();
      }
      fields.set("size", (long long)body.size());
      if (domain == 0) {
        static const std::regex blanks("^\\s+|\\s+$|\\r+|\\n+|(\\r\\n)+", std::regex::icase);
        std::string text =
            std::regex_replace(NSStringDupTitle::plainText(body), blanks, std::string(" "));
        fields.set("text", text);
        std::string summary = NSStringDupTitle::summaryString(text);
        static const std::regex trim("^[\\s\\r\\n]+|[\\s\\r\\n]+$");
        fields.set("summary", std::regex_replace(summary, trim, std::string()));
      } else {
        fields.set("text", body);
      }
      fields.set("contentChanged", true);
      content = std::move(body);
    }
    if (pin) fields.set("stick", fields.contains("stick") ? fields["stick"] : kx::Value(true));
  } else {
    if (!pin) fields.set("localModified", true);
    if (fields.contains("title") && (entry || fields.contains("parentId"))) {
      const std::string parent =
          r.find("parentId") ? r.string("parentId") : (entry ? entry->parentId() : std::string());
      kx::Dictionary dup = client_.reads().titleOfDuplicateTitle(
          fields["title"].stringValue(), parent, fileId, folder ? "Notebook" : "NormalFile");
      if (dup[kKXDupTitleIsDupKey].boolValue()) {
        duplicate(dup);
        return;
      }
    }
    if (bodyString) {
      fields.set("size", (long long)bodyString->size());
      fields.set("contentChanged", true);
      content = *bodyString;
    }
  }
  if (!fields.contains("fileId")) fields.set("fileId", fileId);
  KXNameDict::formatMeta(fields);

  // The content first: a failed write changes nothing in the store; a
  // store change that fails afterwards puts the old content back.
  ContentBackup backup;
  const bool writesContent = content || reader;
  if (writesContent) {
    backup = ContentBackup::take(fileId, contentName);
    kx::Error writeError;
    bool written = false;
    if (content) {
      written = KXFileManager::defaultManauger().writeContentFileSync(*content, fileId, contentName,
                                                                      &writeError);
    } else if (!reader->runWhenIdle([&](std::int64_t) {
                 written = reader->writeContentFile(fileId, contentName, &writeError);
               })) {
      writeError = KXURLError::make(KXURLErrorResourceUnavailable);
    }
    if (!written) {
      backup.restore();
      r.fail(writeError);
      return;
    }
  }

  KXStoreOutcome stored;
  if (noteSave) {
    kx::Dictionary saveParams{{KXEditorSave::kNoteSaveNoteKey, kx::Value(fields)}};
    if (resourceChange.contains("resInfos")) {
      saveParams.set(KXEditorSave::kNoteSaveResourceKey, resourceChange["resInfos"]);
    }
    stored = KXStoreAwait::call([&](KXDataCallback done) {
      client_.editorSave().saveNoteOrMd(saveParams, std::move(done));
    });
  } else if (entry) {
    kx::Dictionary item{{KXEntryWrites::kModifyIdentityKey, entry->objectID().toValue()},
                        {KXEntryWrites::kModifyFieldsKey, kx::Value(fields)}};
    if (content) item.set(KXEntryWrites::kModifyContentKey, *content);
    if (!pin) item.set(KXEntryWrites::kModifyVersionKey, (long long)entry->version() + 1);
    stored = KXStoreAwait::call([&](KXDataCallback done) {
      client_.writes().modifyFileMetas(kx::Array{kx::Value(std::move(item))}, std::move(done));
    });
  } else {
    stored = KXStoreAwait::call([&](KXDataCallback done) {
      fileMetaUtil_.addFileInfos(kx::Array{kx::Value(fields)}, std::move(done));
    });
  }
  kx::Error failure = stored.error;
  if (!failure) failure = saveStore();
  if (failure) {
    if (writesContent) backup.restore();
    fail(failure);
    return;
  }
  if (reader) forgetTransfer(transmitId);
  if (noteSave && resourceChange.contains("newResIds")) {
    kx::MutexLock lock(mu_);
    for (const kx::Value& id : resourceChange["newResIds"].array()) {
      auto found = std::find(cacheResources_.begin(), cacheResources_.end(), id.stringValue());
      if (found != cacheResources_.end()) cacheResources_.erase(found);
    }
  }
  answerEntry(r, fileId);
  if (!pin || content) saveAndSync();
}

void KXWebSyncRequestHandler::copy(const Request& request) {
  KXFileMetaPtr entry = client_.reads().objectForFileMetaID(request.string("fileId"));
  KXFileMetaPtr target = client_.reads().objectForFileMetaID(request.string("parentId"));
  if (!entry || !target || entry->remoteRemoved() || target->remoteRemoved() ||
      (entry->dir() && client_.reads().fileMeta(target, entry->fileId()))) {
    request.fail(KXURLErrorCannotCopy, "copy refused");
    return;
  }
  std::shared_ptr<User> user = client_.reads().user();
  const bool vip = user && user->is_vip() != 0;
  std::string topCopy;
  kx::Error failure;
  std::function<void(const KXFileMetaArray&, const std::string&)> copyLevel =
      [&](const KXFileMetaArray& metas, const std::string& parentId) {
        kx::Dictionary parts;
        for (const KXFileMetaPtr& meta : metas) {
          kx::Dictionary info{
              {"fileId", FileMeta::idForFileMeta()}, {"del", false}, {"encrypted", false}};
          const std::string bg = meta->bgImageId();
          if (!vip && !bg.empty() && (bg[0] == 'v' || bg[0] == 'V')) info.set("bgImageId", "");
          parts.set(meta->fileId(), kx::Value(std::move(info)));
        }
        KXStoreOutcome copied = KXStoreAwait::call([&](KXDataCallback done) {
          fileMetaUtil_.copyFileInfos(parts, parentId, std::move(done), false);
        });
        if (copied.error) {
          failure = copied.error;
          return;
        }
        for (const KXFileMetaPtr& meta : metas) {
          const std::string newId = parts[meta->fileId()]["fileId"].stringValue();
          if (topCopy.empty()) topCopy = newId;
          if (!meta->dir()) continue;
          KXFileMetaArray children = client_.reads().objectsForParentId(meta->fileId(), "FileMeta");
          if (!children.empty()) copyLevel(children, newId);
          if (failure) return;
        }
      };
  copyLevel({entry}, target->fileId());
  if (!failure) failure = saveStore();
  if (failure) {
    request.fail(failure);
    return;
  }
  KXStoreOutcome copyEntry = KXStoreAwait::call([&](KXDataCallback done) {
    client_.writes().entryOnWrittenContextForFileId(topCopy, true, true, std::move(done));
  });
  if (copyEntry.error || !copyEntry.info.hasResult) {
    request.fail(copyEntry.error ? copyEntry.error
                                 : KXURLError::make(KXURLErrorResourceUnavailable));
    return;
  }
  request.json(200, kx::Value::dict({{"fileMeta", copyEntry.info.value}}));
  saveAndSync();
}

void KXWebSyncRequestHandler::remove(const Request& request) {
  const std::string fileId = request.string("fileId");
  KXFileMetaPtr entry = fileId.empty() ? nullptr : client_.reads().objectForFileMetaID(fileId);
  if (!entry) {
    request.fail(KXURLErrorBadURL, "no such entry");
    return;
  }
  KXStoreOutcome deleted = KXStoreAwait::call([&](KXDataCallback done) {
    if (entry->dir()) {
      client_.writes().deleteNotebooks({entry->objectID()}, std::move(done));
    } else if (entry->domain() != 0) {
      client_.writes().deleteNormalFiles({entry->objectID()}, std::move(done));
    } else {
      noteUtil_.deleteNotes({fileId}, std::move(done));
    }
  });
  kx::Error failure = deleted.error;
  if (!failure) failure = saveStore();
  if (failure) {
    request.fail(failure);
    return;
  }
  answerEntry(request, fileId);
  saveAndSync();
}

void KXWebSyncRequestHandler::recover(const Request& request) {
  const kx::Value* fileIdValue = request.find("fileId");
  if (!fileIdValue) {
    request.fail(KXURLErrorBadURL, "no fileId");
    return;
  }
  const std::string fileId = fileIdValue->stringValue();
  if (!client_.reads().objectForFileMetaID(fileId)) {
    request.fail(KXURLErrorFileDoesNotExist);
    return;
  }
  KXStoreOutcome recovered = KXStoreAwait::call(
      [&](KXDataCallback done) { client_.writes().recoverFileMetas({fileId}, std::move(done)); });
  kx::Error failure = recovered.error;
  if (!failure) failure = saveStore();
  if (failure) {
    request.fail(failure);
    return;
  }
  answerEntry(request, fileId);
  saveAndSync();
}
