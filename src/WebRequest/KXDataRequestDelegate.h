// KXDataRequestDelegate is a local request handler: it answers some of the
// web interface's service requests from the local copy instead of the
// network.
//
//  - acceptRequest decides from the request alone (host, path, query,
//    headers, and read-only state of the handler's own). It must be cheap
//    and must not block: it is asked for every request the web view makes,
//    possibly several times per request, from any thread. It never looks at
//    the network (no reachability check); where the answer depends on the
//    network, the handler decides that in handleRequest. The one exception
//    is the pen-note handler, which answers only while the service cannot
//    be reached: it tests path and query first and then asks reachability
//    within a time limit.
//  - handleRequest answers through the sender's localReceiveResponse
//    exactly once, before returning or later from any queue. The sender may
//    be kept as long as needed; dropping it unanswered makes the receiver
//    answer -1000 (KXSingleAnswerController).
//
// Thread safety: both methods may be called from any thread at once.
#ifndef ZN_WEBREQUEST_KXDATAREQUESTDELEGATE_H_
#define ZN_WEBREQUEST_KXDATAREQUESTDELEGATE_H_

#include <memory>

#include "WebRequest/KXDataRequestController.h"
#include "platform/URLRequest.h"

class KXDataRequestDelegate {
 public:
  virtual ~KXDataRequestDelegate() = default;

  virtual bool acceptRequest(const kx::URLRequest& request) const = 0;
  virtual void handleRequest(const kx::URLRequest& request,
                             std::shared_ptr<KXDataRequestController> sender) = 0;
};

#endif  // ZN_WEBREQUEST_KXDATAREQUESTDELEGATE_H_
