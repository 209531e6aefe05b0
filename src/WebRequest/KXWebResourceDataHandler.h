// KXWebResourceDataHandler serves the bytes of a note's resources (images,
// attachments) that the page asks of the service host from the local
// resource files, so that notes show their images without the network.
//
// Accepted: a URL on the service host whose text names a resource
// (KXNoteUtil::isResourceURL) and whose last path component, the resource
// id, is either stored or still being created by the page (the pending
// lookup, KXWebSyncRequestHandler::containResourceId once installed).
//
// Answer: 200 with the stored file's bytes, "Cache-Control" "max-age=604800"
// and "Content-Disposition" filename="<title>" (the title's UTF-8 bytes;
// CR, LF and NUL left out, quotes and backslashes escaped).
//
// A resource just pasted may not be stored yet, or its file not written
// yet. The handler then tries again on its clock, never sleeping a thread:
//  - a stored resource with its file path and title but no file yet is
//    looked at again every 0.1 s, at most 10 times, then read (a read
//    error is the answer);
//  - a resource not stored yet (but pending), or stored without file path
//    or title, is tried again 0.3 s later on a global queue, at most 30
//    times; then the answer is -1100.
//
// Thread safety: both request methods may be called from any thread at
// once; the pending lookup is read and replaced under a lock of its own.
#ifndef ZN_WEBREQUEST_KXWEBRESOURCEDATAHANDLER_H_
#define ZN_WEBREQUEST_KXWEBRESOURCEDATAHANDLER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "CommonUtils/KXDelayClock.h"
#include "Data/client/KXDataClient.h"
#include "WebRequest/KXDataRequestDelegate.h"
#include "platform/Queue.h"

class KXWebResourceDataHandler : public KXDataRequestDelegate {
 public:
  static constexpr std::int64_t kMaxRetries = 30;
  static constexpr double kRetrySeconds = 0.3;
  static constexpr int kMaxFileWaits = 10;
  static constexpr double kFileWaitSeconds = 0.1;
  static constexpr long kCacheSeconds = 604800;

  using PendingLookup = std::function<bool(const std::string& resourceId)>;

  static KXWebResourceDataHandler& sharedHandler();
  // `pending` null: the process's pending lookup (setPendingLookup);
  // `queue` null: the default global queue.
  KXWebResourceDataHandler(KXDataClient& client, std::shared_ptr<KXDelayClock> clock,
                           PendingLookup pending = nullptr, kx::Queue* queue = nullptr);

  // Installs the process's lookup of resource ids the page is still
  // creating (null: none pending).
  static void setPendingLookup(PendingLookup lookup);

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;

  // The "Content-Disposition" value for `title`.
  static std::string contentDisposition(const std::string& title);

 private:
  bool isPending(const std::string& resourceId) const;
  void attempt(const kx::URL& url, const std::string& resourceId,
               const std::shared_ptr<KXDataRequestController>& sender, std::int64_t retry,
               int fileWaits);

  KXDataClient& client_;
  const std::shared_ptr<KXDelayClock> clock_;
  const PendingLookup pending_;
  kx::Queue& queue_;
};

#endif  // ZN_WEBREQUEST_KXWEBRESOURCEDATAHANDLER_H_
