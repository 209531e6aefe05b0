#include "sync/push/KXResourcePusher.h"
#include "sync/cycle/KXSyncState.h"

#include <cstdlib>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "Data/store/KXDataContext.h"
#include "platform/FileSystem.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/push/KXFileUploader.h"
#include "sync/push/KXMetaPusher.h"

std::shared_ptr<KXResourcePusher> KXResourcePusher::resourcePusherWithResource(
    const std::string& resourceId, KXSyncPushServices services) {
  return std::make_shared<KXResourcePusher>(resourceId, std::move(services));
}

KXResourcePusher::KXResourcePusher(std::string resourceId, KXSyncPushServices services)
    : resourceId_(std::move(resourceId)), services_(services.resolved()) {}

bool KXResourcePusher::readResource(KXDataClient& client, const std::string& resourceId,
                                    ResourceSnapshot* out) {
  std::shared_ptr<KXDataContext> data = client.dataContext();
  if (!data) return false;
  bool found = false;
  data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    std::shared_ptr<Resource> resource = client.readsIn(&context).objectForResourceID(resourceId);
    if (!resource) return;
    found = true;
    out->resourceId = resource->fileId();
    out->title = resource->title();
    out->createTime = resource->value("createTime").intValue();
    out->modifyTime = resource->value("modifyTime").intValue();
    out->mediaType = resource->meidaType();
    out->owner = resource->stringValue("resOwner");
    out->heldByNote = !resource->notes().empty();
    if (std::shared_ptr<ResourceEntry> entry = resource->entry()) {
      out->hasEntry = true;
      out->filePath = entry->file();
      out->mimeType = entry->mimeType();
    }
  });
  return found;
}

kx::Dictionary KXResourcePusher::putResourceParameters(const ResourceSnapshot& resource,
                                                       std::int64_t sessionVersion,
                                                       const std::string& transmitId) {
  const std::optional<std::int64_t> type = Resource::resourceTypeFromName(resource.mediaType);
  kx::Dictionary params;
  params.set("resourceId", kx::Value(resource.resourceId));
  params.set("resourceName", kx::Value(resource.title));
  params.set("rootVersion", kx::Value(-1));
  params.set("createTime", kx::Value(std::to_string(resource.createTime)));
  params.set("modifyTime", kx::Value(std::to_string(resource.modifyTime)));
  params.set("resourceMime", kx::Value(resource.mimeType));
  params.set("genIcon", kx::Value(false));
  params.set("sessionId", kx::Value(std::to_string(sessionVersion)));
  params.set("transmitId", kx::Value(transmitId));
  params.set("metaProps", kx::Value::dict({{"restype", kx::Value(std::to_string(type.value_or(0)))},
                                           {"resowner", kx::Value(resource.owner)}}));
  return params;
}

kx::Value KXResourcePusher::recordFromAnswer(const kx::HTTPResponseHead& head,
                                             const kx::Value& reply) {
  const std::string url = head.header("url");
  const std::string src = head.header("src");
  if (url.empty() && src.empty()) return kx::Value();
  kx::Dictionary record;
  if (!url.empty()) record.set("remoteURL", kx::Value(url));
  if (!src.empty()) record.set("remoteSrc", kx::Value(src));
  const std::string version = head.header("ROOT-VERSION");
  record.set("version",
             kx::Value(static_cast<long long>(std::strtoll(version.c_str(), nullptr, 10))));
  record.set("fileSize", kx::Value(reply.isDictionary() ? reply["fileSize"].intValue() : 0));
  return kx::Value(std::move(record));
}

void KXResourcePusher::pushWithCallback(Callback callback) {
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    callback_ = std::move(callback);
  }
  ResourceSnapshot resource;
  if (!readResource(*services_.client, resourceId_, &resource)) {
    KXLOG("push resource %s error: no such resource", resourceId_.c_str());
    finish(kx::Value(), KXMetaPusher::entryError("resource not stored"));
    return;
  }
  if (!resource.heldByNote) {
    // Nothing of a note to send it for.
    finish(kx::Value(), kx::Error());
    return;
  }
  if (!resource.hasEntry || resource.filePath.empty()) {
    KXLOG("push resource %s error: no stored file", resourceId_.c_str());
    finish(kx::Value(), KXMetaPusher::entryError("resource without stored file"));
    return;
  }
  kx::FileSystem& fs = kx::FileSystem::Default();
  bool isDirectory = false;
  if (!fs.exists(resource.filePath, &isDirectory) || isDirectory) {
    KXLOG("push resource %s error: its file is missing", resourceId_.c_str());
    finish(kx::Value(), KXMetaPusher::entryError("resource file missing"));
    return;
  }
  const std::int64_t size =
      static_cast<std::int64_t>(fs.fileSize(resource.filePath, nullptr).value_or(0));
  auto uploader = std::make_shared<KXFileUploader>(resource.filePath, size,
                                                   services_.serviceBaseURL, *services_.controller);
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    resource_ = resource;
    uploader_ = uploader;
  }
  std::weak_ptr<KXResourcePusher> weak = weak_from_this();
  uploader->uploadWithCallback([weak](const kx::Value& answer, const kx::Error& error) {
    auto self = weak.lock();
    if (!self) return;
    if (error) {
      KXLOG("push resource %s error: upload failed", self->resourceId_.c_str());
      self->finish(answer, error);
      return;
    }
    const std::string transmitId = answer[KXFileUploader::kTransmitIdKey].stringValue();
    if (transmitId.empty()) {
      self->finish(kx::Value(), KXMetaPusher::entryError("upload answer without transmit id"));
      return;
    }
    self->pushMetaWithTransmitId(transmitId);
  });
}

void KXResourcePusher::pushMetaWithTransmitId(const std::string& transmitId) {
  KXLOG("start push meta of resource %s", resourceId_.c_str());
  ResourceSnapshot resource;
  {
    kx::MutexLock lock(mu_);
    resource = resource_;
  }
  const std::int64_t session = KXSyncState::shared().currentSessionVersion().intValue();
  KXNetworkOperationOptions options{
      {kKXOptionURL, kx::Value(services_.serviceBaseURL + kPutResourcePath)},
      {kKXOptionMethod, kx::Value("POST")},
      {kKXOptionEncoding, kx::Value(kKXStreamEncoding)},
      {kKXOptionParams, kx::Value(putResourceParameters(resource, session, transmitId))},
      {kKXOptionDataType, kx::Value(kKXJSONDataType)}};
  auto operation = std::make_shared<KXNetworkOperation>();
  operation->setOption(std::move(options));
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    socket_ = operation;
  }
  std::weak_ptr<KXResourcePusher> weak = weak_from_this();
  const bool queued = services_.controller->concurrentResumeWithOperator(
      operation,
      [weak](const kx::Value& result, const kx::HTTPResponseHead& head, const kx::Error& error) {
        auto self = weak.lock();
        if (!self) return;
        if (error) {
          KXLOG("push resource %s error", self->resourceId_.c_str());
          self->finish(kx::Value(), error);
          return;
        }
        kx::Value record = recordFromAnswer(head, result);
        if (record.isNull()) {
          KXLOG("push resource %s error: no address in the answer", self->resourceId_.c_str());
          self->finish(kx::Value(), KXMetaPusher::entryError("putResource without address"));
          return;
        }
        KXLOG("push resource %s end", self->resourceId_.c_str());
        self->finish(kx::Value::dict({{kSrcURLKey, record}}), kx::Error());
      });
  if (!queued) finish(kx::Value(), KXMetaPusher::entryError("request refused"));
}

void KXResourcePusher::finish(const kx::Value& answer, const kx::Error& error) {
  Callback callback;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    ended_ = true;
    callback = std::move(callback_);
    uploader_.reset();
    socket_.reset();
  }
  if (callback) callback(answer, error);
}

void KXResourcePusher::clearEnvironment() {
  std::shared_ptr<KXFileUploader> uploader;
  std::shared_ptr<KXNetworkOperation> operation;
  {
    kx::MutexLock lock(mu_);
    cleared_ = true;
    callback_ = nullptr;
    uploader.swap(uploader_);
    operation.swap(socket_);
  }
  if (uploader) uploader->clearEnvironment();
  if (operation && !operation->isComplete()) operation->cancel();
}
