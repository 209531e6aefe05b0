// KXRequestDelegateRegistry is an ordered list of local request handlers.
// A request is offered to them in registration order and the first whose
// acceptRequest says yes owns it; the order matters where handlers' paths
// overlap. The list holds its handlers for its whole life, keeps the order
// of registration, allows the same handler twice and offers no removal.
//
// Each handler is registered with the hosts the web view's requests may name
// to reach it (KXHandlerHosts): the store's handlers answer only the service
// host, so that a page of another origin (or a request naming "localhost" or
// an address) never reads the store; the local-file handler answers only its
// own origin, which the service host never is. firstAcceptorOnHost and
// offerOnHost apply that rule (the URL protocol uses them for every request
// of the web view); firstAcceptor and offer ask every handler (lists whose
// requests the program builds itself, such as the script object's).
//
// sharedRegistry() is the process-wide list that the URL protocol consults;
// it is filled at start-up (RNCachingURLProtocol::requestDelegatesRegister)
// and then read. Other lists (the script object's) are made as needed.
//
// Thread safety: every member may be called from any thread. Registration
// replaces an immutable snapshot under mu_; lookups read a snapshot and call
// handlers outside the lock.
#ifndef ZN_WEBREQUEST_KXREQUESTDELEGATEREGISTRY_H_
#define ZN_WEBREQUEST_KXREQUESTDELEGATEREGISTRY_H_

#include <memory>
#include <vector>

#include "WebRequest/KXDataRequestDelegate.h"
#include "platform/Mutex.h"

// The hosts through which the web view may reach a handler.
enum class KXHandlerHosts {
  // The service host only (KXServiceHost(), compared ignoring case).
  ServiceHost,
  // Any host but the service host: the handler answers one origin of its
  // own and its acceptRequest checks that origin exactly (local files).
  OwnOrigin,
};

class KXRequestDelegateRegistry {
 public:
  using Handlers = std::vector<std::shared_ptr<KXDataRequestDelegate>>;

  KXRequestDelegateRegistry();
  KXRequestDelegateRegistry(const KXRequestDelegateRegistry&) = delete;
  KXRequestDelegateRegistry& operator=(const KXRequestDelegateRegistry&) = delete;

  // The process-wide list, created empty on first use, never freed.
  static KXRequestDelegateRegistry& sharedRegistry();

  // Appends `handler` (ignored when null).
  void add(std::shared_ptr<KXDataRequestDelegate> handler,
           KXHandlerHosts hosts = KXHandlerHosts::ServiceHost);
  // Appends a handler that lives for the whole process (a shared handler).
  void add(KXDataRequestDelegate& processLifetimeHandler,
           KXHandlerHosts hosts = KXHandlerHosts::ServiceHost);

  // The handlers in order.
  std::shared_ptr<const Handlers> handlers() const;

  // The first handler that accepts `request`, or null.
  std::shared_ptr<KXDataRequestDelegate> firstAcceptor(const kx::URLRequest& request) const;
  // The first handler that `request`'s host may reach and that accepts it,
  // or null.
  std::shared_ptr<KXDataRequestDelegate> firstAcceptorOnHost(const kx::URLRequest& request) const;

  // Offers `request` to the first acceptor with `sender` and returns true,
  // or returns false (and leaves `sender` unused) when none accepts.
  bool offer(const kx::URLRequest& request, std::shared_ptr<KXDataRequestController> sender) const;
  // The same among the handlers `request`'s host may reach.
  bool offerOnHost(const kx::URLRequest& request,
                   std::shared_ptr<KXDataRequestController> sender) const;

 private:
  struct Snapshot {
    Handlers handlers;
    std::vector<KXHandlerHosts> hosts;  // one per handler
  };
  std::shared_ptr<const Snapshot> snapshot() const;
  std::shared_ptr<KXDataRequestDelegate> find(const kx::URLRequest& request, bool byHost) const;

  mutable kx::Mutex mu_;
  std::shared_ptr<const Snapshot> snapshot_ GUARDED_BY(mu_);  // the pointer
};

#endif  // ZN_WEBREQUEST_KXREQUESTDELEGATEREGISTRY_H_
