#include "sync/push/KXMetaPusher.h"
#include "sync/cycle/KXSyncState.h"

#include <atomic>
#include <filesystem>
#include <regex>
#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXUIPort.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/DataUtil/KXNoteUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/store/KXDataContext.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/LocalizedStrings.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/cycle/KXSyncScriptBridge.h"
#include "sync/push/KXFileUploader.h"

namespace {

std::atomic<bool> gSpaceFullAlertShown{false};

bool hasExtensionMd(const std::string& title) {
  std::string ext = kx::Path::pathExtension(title);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == "md";
}

bool isSet(const kx::Dictionary& values, const char* key) {
  const kx::Value* v = values.find(key);
  return v && !v->isNull();
}

std::string decimal(const kx::Value& value) { return std::to_string(value.intValue()); }

// The host of the service's address with its dots escaped for a pattern.
std::string escapedHost(const std::string& baseURL) {
  std::string host = baseURL;
  std::size_t scheme = host.find("://");
  if (scheme != std::string::npos) host = host.substr(scheme + 3);
  std::size_t slash = host.find('/');
  if (slash != std::string::npos) host = host.substr(0, slash);
  std::string out;
  for (char c : host) {
    if (c == '.') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

std::shared_ptr<KXMetaPusher> KXMetaPusher::metaPusherWithMeta(const std::string& fileId,
                                                               KXSyncPushServices services) {
  return std::make_shared<KXMetaPusher>(fileId, std::move(services));
}

KXMetaPusher::KXMetaPusher(std::string fileId, KXSyncPushServices services)
    : fileId_(std::move(fileId)), services_(services.resolved()) {}

void KXMetaPusher::setOverlookResVersion(bool overlook) {
  kx::MutexLock lock(mu_);
  overlookResVersion_ = overlook;
}

void KXMetaPusher::setPushedResources(kx::Dictionary pushedResources) {
  kx::MutexLock lock(mu_);
  pushedResources_ = std::move(pushedResources);
}

kx::Error KXMetaPusher::entryError(const std::string& why) {
  return kx::Error(kErrorDomain, kErrorCode,
                   kx::Value::dict({{kEntryOnlyKey, kx::Value(true)}, {"reason", kx::Value(why)}}));
}

bool KXMetaPusher::failsEntryOnly(const kx::Error& error) {
  return error && error.userInfo().isDictionary() && error.userInfo()[kEntryOnlyKey].boolValue();
}

void KXMetaPusher::resetSpaceFullAlertForTesting() { gSpaceFullAlertShown.store(false); }

bool KXMetaPusher::readSnapshot(KXDataClient& client, const std::string& fileId, Snapshot* out) {
  std::shared_ptr<KXDataContext> data = client.dataContext();
  if (!data) return false;
  bool found = false;
  data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    KXFileMetaPtr entry = client.readsIn(&context).objectForFileMetaID(fileId);
    if (!entry) return;
    out->entity = entry->entity().name();
    out->values = entry->attributeValues();
    out->changeCount = FileMeta::localChangeCount(fileId);
    out->resources.clear();
    for (const auto& resource : entry->resources()) {
      ResourceState state;
      state.resourceId = resource->fileId();
      state.version = resource->version();
      state.localModified = resource->localModified();
      state.remoteSrc = resource->stringValue("remoteSrc");
      out->resources.push_back(std::move(state));
    }
    found = true;
  });
  return found;
}

std::string KXMetaPusher::resourceList(const Snapshot& snapshot, const kx::Dictionary& pushed,
                                       bool overlookResVersion) {
  std::string list;
  for (const ResourceState& resource : snapshot.resources) {
    std::int64_t version = resource.version;
    const kx::Value* record = pushed.find(resource.resourceId);
    if (record && record->isDictionary() && isSet(record->dict(), "version")) {
      version = (*record)["version"].intValue();
    }
    if (overlookResVersion) version = -1;
    if (!list.empty()) list += ';';
    list += resource.resourceId + ":" + std::to_string(version);
  }
  return list;
}

kx::Dictionary KXMetaPusher::pushParameters(const Snapshot& snapshot, const kx::Dictionary& pushed,
                                            bool overlookResVersion, std::int64_t sessionVersion,
                                            const std::optional<std::string>& editorVersion) {
  const kx::Dictionary& v = snapshot.values;
  const bool notebook = snapshot.entity == "Notebook";
  kx::Dictionary params;
  params.set("fileId", v["fileId"]);
  params.set("domain", isSet(v, "domain") ? kx::Value(v["domain"].intValue())
                                          : kx::Value(snapshot.entity == "Note" ? 0 : 1));
  params.set("name", kx::Value(v["title"].stringValue()));
  params.set("modifyTime", kx::Value(decimal(v["modifyTime"])));
  params.set("createTime", kx::Value(decimal(v["createTime"])));
  const bool dir = isSet(v, "dir") ? v["dir"].boolValue() : notebook;
  params.set("dir", kx::Value(dir ? "true" : "false"));
  params.set("rootVersion", kx::Value(sessionVersion));
  params.set("sessionId", kx::Value(std::to_string(sessionVersion)));

  kx::Dictionary props;
  if (v["entryProps"].isData() && !v["entryProps"].bytes().empty()) {
    kx::Value parsed = objectFromJSONData(v["entryProps"].bytes());
    if (parsed.isDictionary()) props = parsed.dict();
  }
  if (isSet(v, "encrypted")) {
    props.set("encrypted", kx::Value(v["encrypted"].boolValue() ? "true" : "false"));
  }
  if (!v["bgImageId"].stringValue().empty()) props.set("bgImageId", v["bgImageId"]);
  const bool sendProps = !props.empty();
  if (isSet(v, "orgEditorType")) {
    props.set("orgEditorType", kx::Value(decimal(v["orgEditorType"])));
  }
  if (sendProps) params.set("entryProps", kx::Value(props));
  if (isSet(v, "tags")) params.set("tags", v["tags"]);
  if (isSet(v, "entryType") && v["entryType"].intValue() == 7)
    params.set("entryType", v["entryType"]);
  params.set("resources", kx::Value(resourceList(snapshot, pushed, overlookResVersion)));
  const std::string parentId = v["parentId"].stringValue();
  if (!parentId.empty()) params.set("parentId", kx::Value(parentId));
  if (parentId == "1" && isSet(v, "namePath")) params.set("namePath", v["namePath"]);
  if (isSet(v, "author")) params.set("author", v["author"]);
  if (isSet(v, "sourceURL")) params.set("sourceURL", v["sourceURL"]);
  if (isSet(v, "orgEditorType")) params.set("orgEditorType", v["orgEditorType"]);
  if (isSet(v, "transactionId")) {
    params.set("transactionId", v["transactionId"]);
    params.set("transactionTime", kx::Value(decimal(v["transactionTime"])));
  }
  if (editorVersion) params.set("editorVersion", kx::Value(*editorVersion));
  return params;
}

std::string KXMetaPusher::replaceContent(const std::string& text,
                                         const std::optional<std::string>& replacement,
                                         const std::string& pattern) {
  if (!replacement) return text;
  try {
    std::regex re(pattern);
    std::string format;
    for (char c : *replacement) {
      if (c == '$') format += '$';
      format += c;
    }
    return std::regex_replace(text, re, format);
  } catch (const std::regex_error&) {
    return text;
  }
}

bool KXMetaPusher::stopped() const {
  kx::MutexLock lock(mu_);
  return stopped_;
}

void KXMetaPusher::pushWithCallback(Callback callback) {
  {
    kx::MutexLock lock(mu_);
    callback_ = std::move(callback);
  }
  push();
}

void KXMetaPusher::push() {
  if (stopped()) {
    finish(kx::Value(), stoppedError());
    return;
  }
  Snapshot snapshot;
  if (!readSnapshot(*services_.client, fileId_, &snapshot)) {
    KXLOG("push of %s: the store holds no such entry", fileId_.c_str());
    finish(kx::Value(), entryError("no such entry"));
    return;
  }
  if (snapshot.values["remoteRemoved"].boolValue()) {
    eraseMeta(snapshot);
    return;
  }
  kx::Dictionary pushed;
  bool overlook = false;
  {
    kx::MutexLock lock(mu_);
    pushed = pushedResources_;
    overlook = overlookResVersion_;
  }
  kx::Dictionary params = pushParameters(snapshot, pushed, overlook,
                                         KXSyncState::shared().currentSessionVersion().intValue(),
                                         services_.editorVersion());
  const std::string title = snapshot.values["title"].stringValue();
  if (snapshot.entity == "Note" || (snapshot.entity == "NormalFile" && hasExtensionMd(title))) {
    pushNote(std::move(params), snapshot);
  } else if (snapshot.entity == "NormalFile") {
    pushNormalFile(std::move(params), snapshot);
  } else if (snapshot.entity == "Notebook") {
    KXNetworkOperationOptions options{
        {kKXOptionURL, kx::Value(services_.serviceBaseURL + kPushPath)},
        {kKXOptionMethod, kx::Value("POST")},
        {kKXOptionParams, kx::Value(std::move(params))},
        {kKXOptionDataType, kx::Value(kKXJSONDataType)},
        {kKXOptionEncoding, kx::Value(kKXStreamEncoding)}};
    commonPushMetaWithOptions(std::move(options), false, snapshot);
  } else {
    finish(kx::Value(), entryError("unknown entry class " + snapshot.entity));
  }
}

std::optional<std::string> KXMetaPusher::bodyString(const Snapshot& snapshot) {
  const kx::Dictionary& v = snapshot.values;
  if (isSet(v, "contentChanged") && !v["contentChanged"].boolValue() &&
      !v["checksum"].stringValue().empty()) {
    return std::nullopt;
  }
  std::string body;
  if (snapshot.entity == "Note") {
    std::vector<std::string> ids;
    for (const ResourceState& r : snapshot.resources) ids.push_back(r.resourceId);
    body = NSStringDupTitle::clearXml(KXNoteUtil::contentForRequestForNote(fileId_, ids));
  } else {
    body = contentForRequestForMd(snapshot);
  }
  if (body == kx::LocalizedStrings::localized(KXFileManager::kMissingContentKey)) {
    return std::nullopt;
  }
  return body;
}

std::string KXMetaPusher::contentForRequestForMd(const Snapshot& snapshot) {
  KXFileManager& files = KXFileManager::defaultManauger();
  std::string text = files.readStringContentFileSync(fileId_, false);
  if (text == kx::LocalizedStrings::localized(KXFileManager::kMissingContentKey)) return text;
  const std::string prefix =
      "(http://|https://|//)" + escapedHost(services_.serviceBaseURL) + "/src/";
  kx::Dictionary pushed;
  {
    kx::MutexLock lock(mu_);
    pushed = pushedResources_;
  }
  bool changed = false;
  for (const auto& [resourceId, record] : pushed) {
    if (!record.isDictionary() || !record["remoteSrc"].isString()) continue;
    std::string replaced = replaceContent(text, record["remoteSrc"].string(), prefix + resourceId);
    changed = changed || replaced != text;
    text = std::move(replaced);
  }
  std::vector<std::string> matches;
  try {
    std::regex re(prefix + "\\w+");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it) {
      matches.push_back(it->str());
    }
  } catch (const std::regex_error&) {
  }
  for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
    const std::string id = kx::Path::lastPathComponent(*it);
    for (const ResourceState& r : snapshot.resources) {
      if (r.resourceId != id || r.remoteSrc.empty()) continue;
      std::string escaped;
      for (char c : *it) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) escaped += '\\';
        escaped += c;
      }
      std::string replaced = replaceContent(text, r.remoteSrc, escaped);
      changed = changed || replaced != text;
      text = std::move(replaced);
    }
  }
  if (!pushed.empty() || changed) {
    const std::string copy = text;
    files.writeContentFile(kx::ByteView(copy), fileId_, [copy](const kx::Error& error) {
      if (error) return;
      KXSyncScriptBridge::installed()->broadCastWebAppWithEvent("mdResReplace",
                                                                kx::Array{kx::Value(copy)});
    });
  }
  return text;
}

void KXMetaPusher::pushNote(kx::Dictionary params, const Snapshot& snapshot) {
  std::optional<std::string> body = bodyString(snapshot);
  if (body && !body->empty()) {
    params.set("transmitId", kx::Value(FileMeta::idForFileMeta()));
    params.set("bodyString", kx::Value(*body));
  }
  KXNetworkOperationOptions options{{kKXOptionURL, kx::Value(services_.serviceBaseURL + kPushPath)},
                                    {kKXOptionMethod, kx::Value("POST")},
                                    {kKXOptionParams, kx::Value(std::move(params))},
                                    {kKXOptionDataType, kx::Value(kKXJSONDataType)},
                                    {kKXOptionEncoding, kx::Value(kKXStreamEncoding)}};
  commonPushMetaWithOptions(std::move(options), false, snapshot);
}

void KXMetaPusher::pushNormalFile(kx::Dictionary params, const Snapshot& snapshot) {
  KXFileManager& files = KXFileManager::defaultManauger();
  const std::string title = snapshot.values["title"].stringValue();
  std::string path = files.URLForContentFile(fileId_, false, title);
  kx::FileSystem& fs = kx::FileSystem::Default();
  if (path.empty() || !fs.exists(path)) path = files.URLForContentFile(fileId_, false);
  if (path.empty() || !fs.exists(path)) {
    KXLOG("push of %s: no content file", fileId_.c_str());
    finish(kx::Value(), entryError("no content file"));
    return;
  }
  auto optionsWith = [this](kx::Dictionary p) {
    return KXNetworkOperationOptions{
        {kKXOptionURL, kx::Value(services_.serviceBaseURL + kPushPath)},
        {kKXOptionMethod, kx::Value("POST")},
        {kKXOptionParams, kx::Value(std::move(p))},
        {kKXOptionDataType, kx::Value(kKXJSONDataType)},
        {kKXOptionEncoding, kx::Value(kKXStreamEncoding)}};
  };
  const kx::Dictionary& v = snapshot.values;
  if (isSet(v, "contentChanged") && !v["contentChanged"].boolValue()) {
    commonPushMetaWithOptions(optionsWith(std::move(params)), false, snapshot);
    return;
  }
  std::int64_t size = 0;
  std::error_code ec;
  auto bytes = std::filesystem::file_size(path, ec);
  if (!ec) size = static_cast<std::int64_t>(bytes);
  auto uploader =
      std::make_shared<KXFileUploader>(path, size, services_.serviceBaseURL, *services_.controller);
  {
    kx::MutexLock lock(mu_);
    if (cleared_) return;
    if (!stopped_) uploader_ = uploader;
  }
  if (stopped()) {
    finish(kx::Value(), stoppedError());
    return;
  }
  std::weak_ptr<KXMetaPusher> weak = weak_from_this();
  uploader->uploadWithCallback([weak, params, snapshot, optionsWith](
                                   const kx::Value& answer, const kx::Error& error) mutable {
    auto self = weak.lock();
    if (!self) return;
    KXLOG("upload file id %s, title %s, success %d", self->fileId_.c_str(),
          snapshot.values["title"].stringValue().c_str(), error ? 0 : 1);
    if (error) {
      self->finish(answer, error);
      return;
    }
    if (!answer.isDictionary() || answer[KXFileUploader::kTransmitIdKey].stringValue().empty()) {
      self->finish(kx::Value(), entryError("upload answer without transmit id"));
      return;
    }
    params.set("transmitId", answer[KXFileUploader::kTransmitIdKey]);
    self->commonPushMetaWithOptions(optionsWith(std::move(params)), false, snapshot);
  });
}

void KXMetaPusher::eraseMeta(const Snapshot& snapshot) {
  KXLOG("delete meta %s", fileId_.c_str());
  const kx::Dictionary& v = snapshot.values;
  const std::int64_t session = KXSyncState::shared().currentSessionVersion().intValue();
  std::optional<std::string> editor = services_.editorVersion();
  kx::Dictionary params;
  params.set("fileId", kx::Value(fileId_));
  params.set("domain", isSet(v, "domain") ? kx::Value(v["domain"].intValue())
                                          : kx::Value(snapshot.entity == "Note" ? 0 : 1));
  params.set("rootVersion", kx::Value(session));
  params.set("sessionId", kx::Value(std::to_string(session)));
  params.set("erased", kx::Value(v["remoteRemoved"].boolValue() ? "true" : "false"));
  params.set("parentId", kx::Value("1"));
  params.set("editorVersion", kx::Value(editor.value_or("")));
  KXNetworkOperationOptions options{{kKXOptionURL, kx::Value(services_.serviceBaseURL + kPushPath)},
                                    {kKXOptionMethod, kx::Value("POST")},
                                    {kKXOptionParams, kx::Value(std::move(params))},
                                    {kKXOptionDataType, kx::Value(kKXJSONDataType)}};
  commonPushMetaWithOptions(std::move(options), true, snapshot);
}

void KXMetaPusher::commonPushMetaWithOptions(KXNetworkOperationOptions options, bool erase,
                                             const Snapshot& snapshot) {
  auto operation = std::make_shared<KXNetworkOperation>();
  operation->clearRuntimeData();
  operation->setOption(std::move(options));
  {
    kx::MutexLock lock(mu_);
    if (cleared_) return;
    if (!stopped_) socket_ = operation;
  }
  if (stopped()) {
    finish(kx::Value(), stoppedError());
    return;
  }
  auto self = shared_from_this();
  bool queued = services_.controller->concurrentResumeWithOperator(
      operation, [self, erase, snapshot](const kx::Value& result, const kx::HTTPResponseHead&,
                                         const kx::Error& error) {
        {
          kx::MutexLock lock(self->mu_);
          if (self->cleared_ || self->ended_) return;
          self->socket_.reset();
        }
        if (error) {
          self->commonHandleError(error, result, snapshot);
          return;
        }
        if (erase) {
          KXDataClient& client = *self->services_.client;
          std::shared_ptr<KXDataContext> data = client.dataContext();
          if (!data) return;
          const std::string fileId = self->fileId_;
          data->performWriteBlock([&client, fileId, self, result](KXManagedObjectContext& context) {
            if (KXFileMetaPtr entry = client.readsIn(&context).objectForFileMetaID(fileId)) {
              client.writes().eraseObjects({entry});
            }
            kx::GlobalQueue::get().async([self, result] { self->finish(result, kx::Error()); });
          });
          return;
        }
        self->handleAnswer(result, snapshot);
      });
  if (!queued) finish(kx::Value(), entryError("request refused"));
}

void KXMetaPusher::handleAnswer(const kx::Value& reply, const Snapshot& snapshot) {
  std::optional<kx::Dictionary> converted;
  if (reply.isDictionary() && reply["entry"].isDictionary() &&
      !reply["entry"]["version"].isNull()) {
    converted = KXNameDict::namesConvertFromRemoteToLocalForFileMeta(reply);
  }
  if (!converted || !converted->contains("version")) {
    KXLOG("push of %s: the reply holds no usable entry", fileId_.c_str());
    finish(reply, entryError("reply without entry"));
    return;
  }
  converted->remove("summary");
  kx::Dictionary pushed;
  {
    kx::MutexLock lock(mu_);
    pushed = pushedResources_;
  }
  KXDataClient& client = *services_.client;
  auto self = shared_from_this();
  client.editorSave().updateStateForFileMeta(
      fileId_, *converted, snapshot.changeCount,
      [self, &client, pushed, snapshot, reply](bool cleared) {
        for (const ResourceState& r : snapshot.resources) {
          const kx::Value* record = pushed.find(r.resourceId);
          if (!record || !record->isDictionary()) continue;
          auto text = [&](const char* key) -> std::optional<std::string> {
            if (!(*record)[key].isString()) return std::nullopt;
            return (*record)[key].string();
          };
          std::optional<std::int64_t> version;
          if (!(*record)["version"].isNull()) version = (*record)["version"].intValue();
          std::shared_ptr<KXDataContext> data = client.dataContext();
          if (!data) break;
          const std::string id = r.resourceId;
          auto url = text("remoteURL");
          auto src = text("remoteSrc");
          data->performWriteBlock([&client, id, url, src, version](KXManagedObjectContext&) {
            client.editorSave().setRemoteURLForResource(id, url, src, version);
          });
        }
        if (!cleared) KXLOG("push of %s kept its marks: edited meanwhile", self->fileId_.c_str());
        self->finish(reply, kx::Error());
      });
}

void KXMetaPusher::commonHandleError(const kx::Error& error, const kx::Value& result,
                                     const Snapshot& snapshot) {
  std::string text = "HTTP Request push Fail ,error is " + error.localizedDescription() + " ";
  const bool answered = error.domain() == kx::kURLErrorDomain && error.code() == -1011;
  kx::Error handed = error;
  std::string message;
  if (result.isDictionary() && result["message"].isString()) {
    message = result["message"].string();
    text += message;
    kx::Dictionary info{{kMessageKey, kx::Value(message)},
                        {"statusCode", error.userInfo()["statusCode"]}};
    handed =
        kx::Error(kErrorDomain, result["error"].isNull() ? kErrorCode : result["error"].intValue(),
                  kx::Value(info));
  }
  KXLOG("%s", text.c_str());
  auto entryOnly = [](kx::Error e) {
    if (e.userInfo().isDictionary()) {
      e.mutableUserInfo().mutableDict().set(kEntryOnlyKey, kx::Value(true));
    } else {
      e = kx::Error(e.domain(), e.code(), kx::Value::dict({{kEntryOnlyKey, kx::Value(true)}}));
    }
    return e;
  };
  if (!answered || message.empty()) {
    // No answer, or a failure the service did not explain: the push ends.
    finish(result, handed);
    return;
  }
  if (message.find("DUPLICATE_FILE_NAME") != std::string::npos) {
    int renames = 0;
    {
      kx::MutexLock lock(mu_);
      renames = ++dupRenames_;
    }
    std::string name = result["adviceName"].stringValue();
    if (renames > kMaxDupRenames || name.empty()) {
      finish(result, entryOnly(handed));
      return;
    }
    kx::Dictionary dup = services_.client->reads().titleOfDuplicateTitle(
        name, snapshot.values["parentId"].stringValue(), fileId_, snapshot.entity);
    if (dup[kKXDupTitleIsDupKey].boolValue() &&
        !dup[kKXDupTitleNewTitleKey].stringValue().empty()) {
      name = dup[kKXDupTitleNewTitleKey].stringValue();
    }
    handleDupNameWithFileMeta(snapshot, name);
    return;
  }
  if (message.find("USER_SPACE_FULL") != std::string::npos) {
    if (gSpaceFullAlertShown.exchange(true)) {
      finish(result, handed);
      return;
    }
    std::shared_ptr<KXUIPort> ui = services_.ui;
    auto self = shared_from_this();
    kx::MainQueue::shared().async([ui, self, result, handed] {
      KXUIPort::Alert alert{"同步失败",
                            "您的泽维云笔记免费网盘空间已满，升级为VIP可获得更多网盘空间和功能特权",
                            {"确定"}};
      ui->showAlert(alert, [self, result, handed](std::size_t) { self->finish(result, handed); });
    });
    return;
  }
  if (message.find("VERSION_CONFLICT") != std::string::npos) {
    KXSyncScriptBridge::installed()->trackEvent("version_conflict", 1);
  } else if (message.find("PARENT_NOT_EXIST") != std::string::npos) {
    KXSyncScriptBridge::installed()->trackEvent("parent_not_exist", 1);
  }
  finish(result, entryOnly(handed));
}

void KXMetaPusher::handleDupNameWithFileMeta(const Snapshot& snapshot,
                                             const std::string& adviceName) {
  KXDataClient& client = *services_.client;
  std::shared_ptr<KXDataContext> data = client.dataContext();
  if (!data) return;
  auto self = shared_from_this();
  const std::string fileId = fileId_;
  data->performWriteBlock([&client, self, fileId, adviceName](KXManagedObjectContext& context) {
    KXFileMetaPtr entry = client.readsIn(&context).objectForFileMetaID(fileId);
    if (entry) kx::ignoreError(entry->setValue("title", kx::Value(adviceName)));
    kx::GlobalQueue::get().async([self] { self->push(); });
  });
  (void)snapshot;
}

void KXMetaPusher::finish(const kx::Value& reply, const kx::Error& error) {
  Callback callback;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    ended_ = true;
    callback = std::move(callback_);
    socket_.reset();
    uploader_.reset();
  }
  if (callback) callback(reply, error);
}

kx::Error KXMetaPusher::stoppedError() {
  return kx::Error(kErrorDomain, kErrorCode, kx::Value::dict({{"stopped", kx::Value(true)}}));
}

void KXMetaPusher::stop() {
  std::shared_ptr<KXNetworkOperation> operation;
  std::shared_ptr<KXFileUploader> uploader;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    stopped_ = true;
    operation = socket_;
    uploader = uploader_;
  }
  if (uploader) {
    uploader->clearEnvironment();
    finish(kx::Value(), stoppedError());
    return;
  }
  // A request the service is already answering is left to finish and its
  // answer stored; one still waiting for a slot is not sent.
  if (operation && !operation->isExecuting() && !operation->isComplete()) {
    operation->cancel();
    finish(kx::Value(), stoppedError());
  }
}

void KXMetaPusher::clearEnvironment() {
  std::shared_ptr<KXNetworkOperation> operation;
  std::shared_ptr<KXFileUploader> uploader;
  {
    kx::MutexLock lock(mu_);
    cleared_ = true;
    callback_ = nullptr;
    operation.swap(socket_);
    uploader.swap(uploader_);
  }
  if (uploader) uploader->clearEnvironment();
  if (operation && !operation->isComplete()) operation->cancel();
}
