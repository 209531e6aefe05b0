#include "sync/pull/KXResourcePuller.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdio>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/MagicKit/GEMagicKit.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "platform/FileSystem.h"
#include "sync/cycle/KXConcurrentController.h"

namespace {

kx::Error syncError() { return kx::Error("com.zarvel.note.Error", 0x400000002); }

void removeQuietly(const std::string& path) {
  if (path.empty()) return;
  kx::FileSystem& fs = kx::FileSystem::Default();
  if (fs.exists(path)) kx::ignoreError(fs.removeItem(path, nullptr));
}

bool present(const kx::Value& value) {
  return !value.isNull() && !(value.isString() && value.string().empty());
}

// "WxH" of an image file, from its header; "" when it is not one.
std::string imageSizeOf(const std::string& path) {
  int width = 0;
  int height = 0;
  if (gdk_pixbuf_get_file_info(path.c_str(), &width, &height) == nullptr || width <= 0 ||
      height <= 0) {
    return {};
  }
  char text[64];
  std::snprintf(text, sizeof text, "%fx%f", static_cast<double>(width),
                static_cast<double>(height));
  return text;
}

}  // namespace

std::shared_ptr<KXResourcePuller> KXResourcePuller::pullerWithResourceIdents(
    kx::Array resourceIdents, Services services) {
  return std::make_shared<KXResourcePuller>(std::move(resourceIdents), std::move(services));
}

std::shared_ptr<KXResourcePuller> KXResourcePuller::pullerWithResourceIdents(
    kx::Array resourceIdents) {
  return pullerWithResourceIdents(std::move(resourceIdents), Services{});
}

KXResourcePuller::KXResourcePuller(kx::Array resourceIdents, Services services)
    : resourceIdents_(std::move(resourceIdents)), services_([&] {
        Services s = std::move(services);
        if (s.serviceBaseURL.empty()) s.serviceBaseURL = KXServiceBaseURL();
        if (s.controller == nullptr) s.controller = &KXConcurrentController::pullController();
        if (!s.tempFile)
          s.tempFile = [] { return KXFileManager::defaultManauger().URLForTempFile(); };
        return s;
      }()) {}

void KXResourcePuller::setEntirePull(bool entirePull) {
  kx::MutexLock lock(mu_);
  entirePull_ = entirePull;
}

bool KXResourcePuller::isUsableResourceId(const std::string& resourceId) {
  if (resourceId.empty() || resourceId.size() > 128 || resourceId == "." || resourceId == "..") {
    return false;
  }
  for (char c : resourceId) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

std::string KXResourcePuller::idVersions(const kx::Array& resourceIdents) {
  std::string text;
  for (const kx::Value& item : resourceIdents) {
    if (!text.empty()) text += ";";
    text += item["resourceId"].stringValue() + ":" + item["version"].stringValue();
  }
  return text;
}

std::optional<kx::Dictionary> KXResourcePuller::recordFromReply(const kx::Value& value,
                                                                const kx::Dictionary& expected) {
  if (!value.isDictionary()) return std::nullopt;
  const kx::Dictionary& v = value.dict();
  kx::Dictionary record;
  record.set(KXEditorSave::kResourceInfoIdKey, expected["resourceId"]);
  // The service's names become the store's; the file name is a title.
  if (v["fileName"].isString()) record.set("title", v["fileName"]);
  if (present(v["fileSize"])) record.set("size", kx::Value(v["fileSize"].intValue()));
  const kx::Value version = present(v["version"]) ? v["version"] : expected["version"];
  record.set("version", kx::Value(version.intValue()));
  if (present(v["createTime"])) record.set("createTime", kx::Value(v["createTime"].intValue()));
  if (present(v["modifyTime"])) record.set("modifyTime", kx::Value(v["modifyTime"].intValue()));
  if (v["mimeType"].isString() && !v["mimeType"].string().empty()) {
    record.set("mimeType", v["mimeType"]);
  }
  if (v["url"].isString()) record.set("remoteURL", v["url"]);
  if (v["src"].isString()) record.set("remoteSrc", v["src"]);
  const kx::Value& props = v["metaProps"];
  if (props.isDictionary()) {
    if (present(props["restype"])) {
      record.set("mediaType", kx::Value(Resource::resourceTypeName(props["restype"].intValue())));
    }
    if (props["resowner"].isString()) record.set("resOwner", props["resowner"]);
  }
  return record;
}

void KXResourcePuller::pullWithCallback(Callback callback) {
  {
    kx::MutexLock lock(mu_);
    if (started_ || cleared_) return;
    started_ = true;
    callback_ = std::move(callback);
  }
  for (const kx::Value& item : resourceIdents_) {
    if (!item.isDictionary() || !isUsableResourceId(item["resourceId"].stringValue())) {
      KXLOG("resource pull refused: unusable resource id %s",
            item["resourceId"].stringValue().c_str());
      finish(syncError());
      return;
    }
  }
  KXNetworkOperationOptions options{
      {kKXOptionURL, kx::Value(services_.serviceBaseURL + kBatchMetasPath)},
      {kKXOptionParams, kx::Value::dict({{"idversions", kx::Value(idVersions(resourceIdents_))}})},
      {kKXOptionMethod, kx::Value("POST")},
      {kKXOptionDataType, kx::Value(kKXJSONDataType)}};
  auto operation = std::make_shared<KXNetworkOperation>();
  operation->setOption(std::move(options));
  {
    kx::MutexLock lock(mu_);
    if (cleared_) return;
    operator_ = operation;
  }
  std::weak_ptr<KXResourcePuller> weak = weak_from_this();
  const bool queued = services_.controller->concurrentResumeWithOperator(
      operation,
      [weak](const kx::Value& result, const kx::HTTPResponseHead&, const kx::Error& error) {
        if (auto self = weak.lock()) self->metasAnswered(result, error);
      });
  if (!queued) finish(syncError());
}

void KXResourcePuller::metasAnswered(const kx::Value& result, const kx::Error& error) {
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    operator_.reset();
  }
  if (error) {
    finish(error);
    return;
  }
  if (!result.isArray()) {
    KXLOG("resource metas: the answer is not a list");
    finish(syncError());
    return;
  }
  // The answer's elements by their resource id: the service need not keep
  // the request's order.
  kx::Dictionary byId;
  for (const kx::Value& element : result.array()) {
    const kx::Value& value = element["value"];
    if (!value.isDictionary()) continue;
    const std::string id = value["resourceId"].stringValue();
    if (!id.empty() && !byId.contains(id)) byId.set(id, value);
  }
  kx::Dictionary infos;
  std::vector<std::string> ids;
  bool entirePull = false;
  {
    kx::MutexLock lock(mu_);
    entirePull = entirePull_;
  }
  for (const kx::Value& item : resourceIdents_) {
    const std::string id = item["resourceId"].stringValue();
    if (infos.contains(id)) continue;
    const kx::Value* value = byId.find(id);
    std::optional<kx::Dictionary> record =
        value ? recordFromReply(*value, item.dict()) : std::nullopt;
    if (!record) {
      KXLOG("resource metas: no usable answer for resource %s", id.c_str());
      finish(syncError());
      return;
    }
    if (entirePull) {
      record->set(KXEditorSave::kResourceInfoIdKey, kx::Value(Resource::resourceFileID()));
    }
    infos.set(id, kx::Value(std::move(*record)));
    ids.push_back(id);
  }
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    resourceInfos_ = std::move(infos);
  }
  pullResourceFiles(std::move(ids));
}

bool KXResourcePuller::heldInVersion(const std::string& resourceId, std::int64_t version) {
  KXDataClient& client =
      services_.client != nullptr ? *services_.client : KXDataClient::defaultDataClient();
  if (!client.dataContext()) return false;
  bool held = false;
  client.reads().performSyncReadBlock([&] {
    std::shared_ptr<Resource> resource = client.reads().objectForResourceID(resourceId);
    if (!resource || resource->version() < version) return;
    std::shared_ptr<ResourceEntry> entry = resource->entry();
    held = entry && !entry->file().empty() && kx::FileSystem::Default().exists(entry->file());
  });
  return held;
}

void KXResourcePuller::pullResourceFiles(std::vector<std::string> ids) {
  bool entirePull = false;
  kx::Dictionary infos;
  {
    kx::MutexLock lock(mu_);
    entirePull = entirePull_;
    infos = resourceInfos_;
  }
  struct Download {
    std::string id;
    std::string tmpFile;
    std::shared_ptr<KXNetworkOperation> operation;
  };
  std::vector<Download> downloads;
  for (const std::string& id : ids) {
    const kx::Value& record = infos[id];
    if (!entirePull && heldInVersion(id, record["version"].intValue())) continue;
    const std::string tmpFile = services_.tempFile ? services_.tempFile() : std::string();
    if (tmpFile.empty()) {
      KXLOG("resource %s: no temporary file", id.c_str());
      finish(syncError());
      return;
    }
    KXLOG("pull resource file resourceId %s", id.c_str());
    KXNetworkOperationOptions options{
        {kKXOptionURL,
         kx::Value(services_.serviceBaseURL + kResourcePath + id + "?method=getResource")},
        {kKXOptionParams, kx::Value::dict({{"v", kx::Value(record["version"].intValue())}})},
        {kKXOptionMethod, kx::Value("GET")},
        {kKXOptionDownloadFile, kx::Value(tmpFile)},
        {kKXOptionTimeout, kx::Value(-1)}};
    auto operation = std::make_shared<KXNetworkOperation>();
    operation->setOption(std::move(options));
    downloads.push_back({id, tmpFile, operation});
  }
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    pending_ = downloads.size();
    for (const Download& d : downloads) {
      resourceFilePullers_.push_back(d.operation);
      tmpFiles_.push_back(d.tmpFile);
    }
  }
  std::weak_ptr<KXResourcePuller> weak = weak_from_this();
  for (const Download& d : downloads) {
    const std::string id = d.id;
    const std::string tmpFile = d.tmpFile;
    const bool queued = services_.controller->concurrentResumeWithOperator(
        d.operation, [weak, id, tmpFile](const kx::Value& result, const kx::HTTPResponseHead&,
                                         const kx::Error& error) {
          auto self = weak.lock();
          if (!self) {
            removeQuietly(tmpFile);
            return;
          }
          kx::Error failure = error;
          if (!failure && !kx::FileSystem::Default().exists(tmpFile)) failure = syncError();
          (void)result;
          self->fileAnswered(id, tmpFile, failure);
        });
    if (!queued) {
      finish(syncError());
      return;
    }
  }
  checkForResourceFiles();
}

void KXResourcePuller::fileAnswered(const std::string& resourceId, const std::string& tmpFile,
                                    const kx::Error& error) {
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) {
      removeQuietly(tmpFile);
      return;
    }
  }
  if (error) {
    KXLOG("pull resource file %s failed: %s", resourceId.c_str(),
          error.localizedDescription().c_str());
    finish(error);
    return;
  }
  kx::Dictionary record;
  bool entirePull = false;
  {
    kx::MutexLock lock(mu_);
    record = resourceInfos_[resourceId].dict();
    entirePull = entirePull_;
  }
  record.set("dataHash", kx::Value(KXFileManager::datahashForResourceURL(tmpFile).value_or("")));
  if (!record["mimeType"].isString()) {
    std::optional<GEMagicResult> magic = GEMagicKit::magicForFileAtPath(tmpFile);
    std::string mime = magic ? magic->mimeType() : std::string();
    mime = mime.substr(0, mime.find(';'));
    record.set("mimeType", kx::Value(mime.empty() ? "application/octet-stream" : mime));
  }
  const std::string mime = record["mimeType"].string();
  record.set("imageSize", kx::Value(mime.rfind("image", 0) == 0 ? imageSizeOf(tmpFile) : ""));
  record.set(KXEditorSave::kResourceInfoModifiedInLocalKey, kx::Value(entirePull));
  record.set(kTmpFileKey, kx::Value(tmpFile));
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) {
      removeQuietly(tmpFile);
      return;
    }
    resourceInfos_.set(resourceId, kx::Value(std::move(record)));
    if (pending_ > 0) --pending_;
  }
  checkForResourceFiles();
}

void KXResourcePuller::checkForResourceFiles() {
  Callback callback;
  kx::Dictionary infos;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_ || pending_ != 0) return;
    ended_ = true;
    callback = std::move(callback_);
    infos = resourceInfos_;
    resourceFilePullers_.clear();
    tmpFiles_.clear();  // handed over with the records
  }
  if (callback) callback(kx::Value::dict({{kResourceInfosKey, kx::Value(std::move(infos))}}), {});
}

void KXResourcePuller::finish(const kx::Error& error) {
  Callback callback;
  std::vector<std::shared_ptr<KXNetworkOperation>> running;
  std::vector<std::string> files;
  std::shared_ptr<KXNetworkOperation> batch;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    ended_ = true;
    callback = std::move(callback_);
    running.swap(resourceFilePullers_);
    files.swap(tmpFiles_);
    batch.swap(operator_);
  }
  if (batch && !batch->isComplete()) batch->cancel();
  for (const auto& operation : running) {
    if (!operation->isComplete()) operation->cancel();
  }
  for (const std::string& file : files) removeQuietly(file);
  if (callback) callback(kx::Value(), error);
}

void KXResourcePuller::clearEnvironment() {
  std::vector<std::shared_ptr<KXNetworkOperation>> running;
  std::vector<std::string> files;
  std::shared_ptr<KXNetworkOperation> batch;
  {
    kx::MutexLock lock(mu_);
    const bool handedOver = ended_ && tmpFiles_.empty();
    cleared_ = true;
    callback_ = nullptr;
    running.swap(resourceFilePullers_);
    batch.swap(operator_);
    if (!handedOver) files.swap(tmpFiles_);
  }
  if (batch && !batch->isComplete()) batch->cancel();
  for (const auto& operation : running) {
    if (!operation->isComplete()) operation->cancel();
  }
  for (const std::string& file : files) removeQuietly(file);
}
