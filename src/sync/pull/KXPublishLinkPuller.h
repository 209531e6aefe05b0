// KXPublishLinkPuller asks the service for the publish (share) link of one
// shared entry: GET "/qrt/api/personal/share/qp" with {"fileId", "from":
// "kxpublisher"}, through the pull controller. The block is called once:
// the answer (a dictionary holding a non-empty "url") and no error, or the
// error (the transport's, else "com.zarvel.note.Error", 0x400000002 for an
// answer without "url"). After clearEnvironment() the request is cancelled
// and nothing is called.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXPUBLISHLINKPULLER_H_
#define ZN_SYNC_KXPUBLISHLINKPULLER_H_

#include <functional>
#include <memory>
#include <string>

#include "account/KXNetworkOperation.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

class KXConcurrentController;

class KXPublishLinkPuller : public std::enable_shared_from_this<KXPublishLinkPuller> {
 public:
  static constexpr const char* kPublishPath = "/qrt/api/personal/share/qp";
  using Callback = std::function<void(const kx::Value& reply, const kx::Error& error)>;

  // Empty members take the program's service and pull controller.
  static std::shared_ptr<KXPublishLinkPuller> pullerWithFileId(
      const std::string& fileId, std::string serviceBaseURL = {},
      KXConcurrentController* controller = nullptr);
  KXPublishLinkPuller(std::string fileId, std::string serviceBaseURL,
                      KXConcurrentController* controller);

  void pullWithCallback(Callback callback);
  void clearEnvironment();

 private:
  void finish(const kx::Value& reply, const kx::Error& error);

  const std::string fileId_;
  const std::string serviceBaseURL_;
  KXConcurrentController* const controller_;

  mutable kx::Mutex mu_;
  Callback callback_ GUARDED_BY(mu_);
  std::shared_ptr<KXNetworkOperation> operator_ GUARDED_BY(mu_);
  bool cleared_ GUARDED_BY(mu_) = false;
  bool ended_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXPUBLISHLINKPULLER_H_
