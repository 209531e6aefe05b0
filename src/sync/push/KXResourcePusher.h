// KXResourcePusher sends one resource of a note (an image or an attachment
// changed here) to the service for the object pusher:
//
//   read      the resource, its entry (the stored file and its MIME type)
//             and whether a note holds it, on the store's write queue;
//   upload    the stored file through a KXFileUploader (the upload session
//             resumes from the byte the service confirms);
//   register  POST "/qrt/api/personal/sync?method=putResource" as a stream
//             body ("application/qopal-stream") with "resourceId",
//             "resourceName", "rootVersion" -1, "createTime", "modifyTime",
//             "resourceMime", "genIcon" false, "sessionId", "transmitId",
//             "metaProps" {"restype", "resowner"}.
//
// The answer of a push is {"src-url": {"remoteURL" (the "url" header),
// "remoteSrc" (the "src" header), "version" (the "ROOT-VERSION" header, 0
// when absent), "fileSize" (the reply's, 0 when absent)}}; the object
// pusher hands it to the entry's push, which records it on the resource
// once the note is stored by the service. A resource that no note holds
// is reported as pushed with no answer and no request.
//
// A resource that is gone, has no entry, no stored file path, or whose file
// is missing fails as its note's alone (KXMetaPusher::entryError): the note
// keeps its marks and is never sent pointing at an attachment the service
// does not hold. So does a registration answered without "url" and "src".
// An upload or transport failure is handed up as it came.
//
// The block is called once; not after clearEnvironment(), which stops the
// upload and cancels the registration.
//
// Thread safety: every member may be called from any thread; the steps run
// on the threads of the request callbacks.
#ifndef ZN_SYNC_KXRESOURCEPUSHER_H_
#define ZN_SYNC_KXRESOURCEPUSHER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "account/KXNetworkOperation.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"
#include "sync/push/KXSyncPushServices.h"

class KXFileUploader;

class KXResourcePusher : public std::enable_shared_from_this<KXResourcePusher> {
 public:
  static constexpr const char* kPutResourcePath = "/qrt/api/personal/sync?method=putResource";
  static constexpr const char* kSrcURLKey = "src-url";
  using Callback = std::function<void(const kx::Value& answer, const kx::Error& error)>;

  // What a push reads of the resource.
  struct ResourceSnapshot {
    std::string resourceId;
    std::string title;
    std::int64_t createTime = 0;
    std::int64_t modifyTime = 0;
    std::string mediaType;  // the type name ("image", "attachment", ...)
    std::string owner;
    bool hasEntry = false;
    std::string filePath;  // the entry's stored file
    std::string mimeType;  // the entry's
    bool heldByNote = false;
  };

  static std::shared_ptr<KXResourcePusher> resourcePusherWithResource(
      const std::string& resourceId, KXSyncPushServices services = {});
  KXResourcePusher(std::string resourceId, KXSyncPushServices services);

  void pushWithCallback(Callback callback);
  void pushMetaWithTransmitId(const std::string& transmitId);
  void clearEnvironment();

  const std::string& resourceId() const { return resourceId_; }

  // Reads the resource on the write queue; false when the store does not
  // hold it (or is closed).
  static bool readResource(KXDataClient& client, const std::string& resourceId,
                           ResourceSnapshot* out);
  // The registration's parameters, in order.
  static kx::Dictionary putResourceParameters(const ResourceSnapshot& resource,
                                              std::int64_t sessionVersion,
                                              const std::string& transmitId);
  // The record of a registration answer; null without "url" and "src".
  static kx::Value recordFromAnswer(const kx::HTTPResponseHead& head, const kx::Value& reply);

 private:
  void finish(const kx::Value& answer, const kx::Error& error);

  const std::string resourceId_;
  const KXSyncPushServices services_;

  mutable kx::Mutex mu_;
  Callback callback_ GUARDED_BY(mu_);
  ResourceSnapshot resource_ GUARDED_BY(mu_);
  std::shared_ptr<KXFileUploader> uploader_ GUARDED_BY(mu_);
  std::shared_ptr<KXNetworkOperation> socket_ GUARDED_BY(mu_);
  bool cleared_ GUARDED_BY(mu_) = false;
  bool ended_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXRESOURCEPUSHER_H_
