// KXRequestDelegateRegistry is an ordered list of local request handlers.
// A request is offered to them in registration order and the first whose
// acceptRequest says yes owns it; the order matters where handlers' paths
// overlap. The list holds its handlers for its whole life, keeps the order
// of registration, allows the same handler twice and offers no removal.
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
#include <mutex>
#include <vector>

#include "WebRequest/KXDataRequestDelegate.h"

class KXRequestDelegateRegistry {
 public:
  using Handlers = std::vector<std::shared_ptr<KXDataRequestDelegate>>;

  KXRequestDelegateRegistry();
  KXRequestDelegateRegistry(const KXRequestDelegateRegistry&) = delete;
  KXRequestDelegateRegistry& operator=(const KXRequestDelegateRegistry&) = delete;

  // The process-wide list, created empty on first use, never freed.
  static KXRequestDelegateRegistry& sharedRegistry();

  // Appends `handler` (ignored when null).
  void add(std::shared_ptr<KXDataRequestDelegate> handler);
  // Appends a handler that lives for the whole process (a shared handler).
  void add(KXDataRequestDelegate& processLifetimeHandler);

  // The handlers in order.
  std::shared_ptr<const Handlers> handlers() const;

  // The first handler that accepts `request`, or null.
  std::shared_ptr<KXDataRequestDelegate> firstAcceptor(const kx::URLRequest& request) const;

  // Offers `request` to the first acceptor with `sender` and returns true,
  // or returns false (and leaves `sender` unused) when none accepts.
  bool offer(const kx::URLRequest& request, std::shared_ptr<KXDataRequestController> sender) const;

 private:
  mutable std::mutex mu_;
  std::shared_ptr<const Handlers> handlers_;  // guarded by mu_ (the pointer)
};

#endif  // ZN_WEBREQUEST_KXREQUESTDELEGATEREGISTRY_H_
