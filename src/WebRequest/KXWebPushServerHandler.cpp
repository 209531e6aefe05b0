#include "WebRequest/KXWebPushServerHandler.h"

#include <string>
#include <utility>
#include <vector>

#include "CommonUtils/KXHooks.h"
#include "WebRequest/KXHandlerAnswer.h"
#include "WebRequest/KXWebRequestParameters.h"
#include "WebRequest/KXWebUserRequestHandler.h"

KXWebPushServerHandler& KXWebPushServerHandler::sharedHandler() {
  static KXWebPushServerHandler* handler = new KXWebPushServerHandler([] {
    return KXHooks::currentUser() == KXWebUserRequestHandler::kEmptyUser
               ? nullptr
               : &KXDataClient::defaultDataClient();
  });
  return *handler;
}

KXWebPushServerHandler::KXWebPushServerHandler(ClientProvider dataClient)
    : dataClient_(std::move(dataClient)) {}

bool KXWebPushServerHandler::acceptRequest(const kx::URLRequest& request) const {
  std::vector<std::string> c = KXWebRequestParameters::pathComponents(request.url().path());
  return !c.empty() && c[0] == "pushserver3";
}

std::size_t KXWebPushServerHandler::openRequestCount() const {
  kx::MutexLock lock(state_->mu);
  return state_->held ? 1 : 0;
}

void KXWebPushServerHandler::State::release(std::uint64_t token) {
  std::shared_ptr<KXDataRequestController> released;
  {
    kx::MutexLock lock(mu);
    if (!held || heldToken != token) return;
    released = std::move(held);
  }
  // `released` goes here, outside the lock.
}

void KXWebPushServerHandler::handleRequest(const kx::URLRequest& request,
                                           std::shared_ptr<KXDataRequestController> sender) {
  bool first = false;
  std::uint64_t token = 0;
  std::shared_ptr<KXDataRequestController> replaced;
  {
    kx::MutexLock lock(state_->mu);
    if (!state_->onLive) {
      state_->onLive = true;
      first = true;
    } else {
      token = ++state_->nextToken;
      replaced = std::move(state_->held);
      state_->held = sender;
      state_->heldToken = token;
    }
  }
  if (first) {
    KXDataClient* client = dataClient_ ? dataClient_() : nullptr;
    KXHandlerAnswer::json(*sender, request.url(),
                          kx::Value(KXWebUserRequestHandler::userMetaObject(client)));
    return;
  }
  replaced.reset();
  std::weak_ptr<State> state = state_;
  sender->whenCancelled([state, token] {
    if (std::shared_ptr<State> alive = state.lock()) alive->release(token);
  });
}
