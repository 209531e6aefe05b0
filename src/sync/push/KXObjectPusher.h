// KXObjectPusher pushes one entry of the store for the push order: it has
// the entry sent by a KXMetaPusher and, when the service refuses it the
// first time, reads the service's resource versions of the entry
// (POST "/qrt/api/personal/file/<id>?method=getById", {"entire": "true"})
// and has it sent once more with those versions (every version -1 when that
// read fails too). The outcome of the second push is final.
//
// Before the entry, every resource of it changed here goes up through a
// KXResourcePusher (side by side, bounded by the push controller); their
// records ("src-url") reach the meta pusher, which sends the resources'
// versions and records the resources' addresses once the entry is stored.
// A resource that fails ends this entry's push before its meta is sent, so
// the service never holds a note pointing at a resource it does not have;
// the others still running are stopped.
//
// The block is called once, with the reply or the error; not after
// clearEnvironment() (which cancels everything). stop() lets an answer the
// service is already giving be stored and reported.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXOBJECTPUSHER_H_
#define ZN_SYNC_KXOBJECTPUSHER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "account/KXNetworkOperation.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"
#include "sync/push/KXSyncPushServices.h"

class KXMetaPusher;
class KXResourcePusher;

class KXObjectPusher : public std::enable_shared_from_this<KXObjectPusher> {
 public:
  static constexpr const char* kGetByIdPath = "/qrt/api/personal/file/";
  using Callback = std::function<void(const kx::Value& reply, const kx::Error& error)>;

  static std::shared_ptr<KXObjectPusher> objectPusherWithMeta(const std::string& fileId,
                                                              KXSyncPushServices services = {});
  KXObjectPusher(std::string fileId, KXSyncPushServices services);

  void pushWithCallback(Callback callback);
  void clearEnvironment();
  void stop();

  const std::string& fileId() const { return fileId_; }

 private:
  void checkResourcePushState();
  void startPushMeta();
  void handleForResourceVersion();
  void finish(const kx::Value& reply, const kx::Error& error);

  const std::string fileId_;
  const KXSyncPushServices services_;

  mutable kx::Mutex mu_;
  Callback callback_ GUARDED_BY(mu_);
  kx::Dictionary pushedResources_ GUARDED_BY(mu_);
  std::int64_t retry_ GUARDED_BY(mu_) = 0;
  std::shared_ptr<KXMetaPusher> metaPusher_ GUARDED_BY(mu_);
  std::vector<std::shared_ptr<KXResourcePusher>> resourcePushers_ GUARDED_BY(mu_);
  std::shared_ptr<KXNetworkOperation> socket_ GUARDED_BY(mu_);
  bool cleared_ GUARDED_BY(mu_) = false;
  bool stopped_ GUARDED_BY(mu_) = false;
  bool ended_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXOBJECTPUSHER_H_
