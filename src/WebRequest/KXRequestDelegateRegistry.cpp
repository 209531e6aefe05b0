#include "WebRequest/KXRequestDelegateRegistry.h"

#include <utility>

#include "CommonUtils/KXServiceBaseURL.h"

KXRequestDelegateRegistry::KXRequestDelegateRegistry()
    : snapshot_(std::make_shared<const Snapshot>()) {}

KXRequestDelegateRegistry& KXRequestDelegateRegistry::sharedRegistry() {
  static KXRequestDelegateRegistry* registry = new KXRequestDelegateRegistry();
  return *registry;
}

void KXRequestDelegateRegistry::add(std::shared_ptr<KXDataRequestDelegate> handler,
                                    KXHandlerHosts hosts) {
  if (!handler) return;
  kx::MutexLock lock(mu_);
  auto next = std::make_shared<Snapshot>(*snapshot_);
  next->handlers.push_back(std::move(handler));
  next->hosts.push_back(hosts);
  snapshot_ = std::move(next);
}

void KXRequestDelegateRegistry::add(KXDataRequestDelegate& processLifetimeHandler,
                                    KXHandlerHosts hosts) {
  // A shared handler is never freed; the list refers to it without owning.
  add(std::shared_ptr<KXDataRequestDelegate>(std::shared_ptr<void>(), &processLifetimeHandler),
      hosts);
}

std::shared_ptr<const KXRequestDelegateRegistry::Snapshot> KXRequestDelegateRegistry::snapshot()
    const {
  kx::MutexLock lock(mu_);
  return snapshot_;
}

std::shared_ptr<const KXRequestDelegateRegistry::Handlers> KXRequestDelegateRegistry::handlers()
    const {
  std::shared_ptr<const Snapshot> s = snapshot();
  return std::shared_ptr<const Handlers>(s, &s->handlers);
}

std::shared_ptr<KXDataRequestDelegate> KXRequestDelegateRegistry::find(
    const kx::URLRequest& request, bool byHost) const {
  std::shared_ptr<const Snapshot> s = snapshot();
  bool serviceHost = false;
  if (byHost) {
    const std::string& host = request.url().host();
    const std::string service = KXServiceHost();
    serviceHost = host.size() == service.size() &&
                  kx::HTTPHeaderFields::namesEqual(host, service) && !service.empty();
  }
  for (std::size_t i = 0; i < s->handlers.size(); ++i) {
    if (byHost && (s->hosts[i] == KXHandlerHosts::ServiceHost) != serviceHost) continue;
    if (s->handlers[i]->acceptRequest(request)) return s->handlers[i];
  }
  return nullptr;
}

std::shared_ptr<KXDataRequestDelegate> KXRequestDelegateRegistry::firstAcceptor(
    const kx::URLRequest& request) const {
  return find(request, false);
}

std::shared_ptr<KXDataRequestDelegate> KXRequestDelegateRegistry::firstAcceptorOnHost(
    const kx::URLRequest& request) const {
  return find(request, true);
}

bool KXRequestDelegateRegistry::offer(const kx::URLRequest& request,
                                      std::shared_ptr<KXDataRequestController> sender) const {
  std::shared_ptr<KXDataRequestDelegate> handler = firstAcceptor(request);
  if (!handler) return false;
  handler->handleRequest(request, std::move(sender));
  return true;
}

bool KXRequestDelegateRegistry::offerOnHost(const kx::URLRequest& request,
                                            std::shared_ptr<KXDataRequestController> sender) const {
  std::shared_ptr<KXDataRequestDelegate> handler = firstAcceptorOnHost(request);
  if (!handler) return false;
  handler->handleRequest(request, std::move(sender));
  return true;
}
