#include "WebRequest/KXRequestDelegateRegistry.h"

#include <utility>

KXRequestDelegateRegistry::KXRequestDelegateRegistry()
    : handlers_(std::make_shared<const Handlers>()) {}

KXRequestDelegateRegistry& KXRequestDelegateRegistry::sharedRegistry() {
  static KXRequestDelegateRegistry* registry = new KXRequestDelegateRegistry();
  return *registry;
}

void KXRequestDelegateRegistry::add(std::shared_ptr<KXDataRequestDelegate> handler) {
  if (!handler) return;
  std::lock_guard<std::mutex> lock(mu_);
  auto next = std::make_shared<Handlers>(*handlers_);
  next->push_back(std::move(handler));
  handlers_ = std::move(next);
}

void KXRequestDelegateRegistry::add(KXDataRequestDelegate& processLifetimeHandler) {
  // A shared handler is never freed; the list refers to it without owning.
  add(std::shared_ptr<KXDataRequestDelegate>(std::shared_ptr<void>(), &processLifetimeHandler));
}

std::shared_ptr<const KXRequestDelegateRegistry::Handlers> KXRequestDelegateRegistry::handlers()
    const {
  std::lock_guard<std::mutex> lock(mu_);
  return handlers_;
}

std::shared_ptr<KXDataRequestDelegate> KXRequestDelegateRegistry::firstAcceptor(
    const kx::URLRequest& request) const {
  std::shared_ptr<const Handlers> snapshot = handlers();
  for (const auto& handler : *snapshot) {
    if (handler->acceptRequest(request)) return handler;
  }
  return nullptr;
}

bool KXRequestDelegateRegistry::offer(const kx::URLRequest& request,
                                      std::shared_ptr<KXDataRequestController> sender) const {
  std::shared_ptr<KXDataRequestDelegate> handler = firstAcceptor(request);
  if (!handler) return false;
  handler->handleRequest(request, std::move(sender));
  return true;
}
