// KXWebPushServerHandler answers the page's long-poll connection to the
// push server ("/pushserver3/..."). The first request of the process is
// answered at once with the stored user's meta under the service's names
// ("{}" when no user is stored or nobody is signed in); every later one is
// held open without an answer: the client tells the page of changes through
// its script events instead, and the page's own time-out ends the poll.
//
// Only the latest request is held (an earlier one is let go when a newer
// comes, which answers it -1000 if its asker still waits), and a held
// request is let go as soon as its asker goes away (the web view cancelled
// it, the connection closed). Holding costs no thread.
//
// Thread safety: both request methods may be called from any thread at
// once; the fields are guarded by mu_, and senders are let go outside it.
#ifndef ZN_WEBREQUEST_KXWEBPUSHSERVERHANDLER_H_
#define ZN_WEBREQUEST_KXWEBPUSHSERVERHANDLER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "Data/client/KXDataClient.h"
#include "WebRequest/KXDataRequestDelegate.h"
#include "platform/Mutex.h"

class KXWebPushServerHandler : public KXDataRequestDelegate {
 public:
  // The data client of the signed-in user; null while nobody is.
  using ClientProvider = std::function<KXDataClient*()>;

  static KXWebPushServerHandler& sharedHandler();
  explicit KXWebPushServerHandler(ClientProvider dataClient);

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;

  // How many requests are held open (0 or 1).
  std::size_t openRequestCount() const;

 private:
  // Shared with the cancellation callbacks, which may outlive the handler.
  struct State {
    kx::Mutex mu;
    bool onLive GUARDED_BY(mu) = false;
    std::shared_ptr<KXDataRequestController> held GUARDED_BY(mu);
    std::uint64_t heldToken GUARDED_BY(mu) = 0;
    std::uint64_t nextToken GUARDED_BY(mu) = 0;

    // Lets the held request go when it is still the one of `token`.
    void release(std::uint64_t token);
  };

  const ClientProvider dataClient_;
  const std::shared_ptr<State> state_ = std::make_shared<State>();
};

#endif  // ZN_WEBREQUEST_KXWEBPUSHSERVERHANDLER_H_
