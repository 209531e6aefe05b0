#include "sync/cycle/KXSyncPen.h"
#include "sync/cycle/KXSyncState.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/client/KXDataClient.h"
#include "platform/MainQueue.h"
#include "platform/UserDefaults.h"
#include "sync/cycle/KXSyncServiceCall.h"

KXSyncPen& KXSyncPen::defaultProxy() {
  static KXSyncPen* proxy = new KXSyncPen();
  return *proxy;
}

KXSyncPen::KXSyncPen(KXDataClient* client, std::string serviceBaseURL,
                     kx::NotificationCenter* center)
    : client_(client),
      serviceBaseURL_(std::move(serviceBaseURL)),
      center_(center != nullptr ? center : &kx::NotificationCenter::defaultCenter()),
      queue_(kQueueLabel) {}

KXDataClient& KXSyncPen::client() {
  return client_ != nullptr ? *client_ : KXDataClient::defaultDataClient();
}

std::string KXSyncPen::baseURL() const {
  return serviceBaseURL_.empty() ? KXServiceBaseURL() : serviceBaseURL_;
}

std::int64_t KXSyncPen::storedListVersion() {
  std::optional<std::string> text =
      kx::UserDefaults::standardUserDefaults().stringForKey(kListVersionKey);
  if (!text) return 0;
  try {
    return std::stoll(*text);
  } catch (...) {
    return 0;
  }
}

void KXSyncPen::startPull() {
  {
    kx::MutexLock lock(mu_);
    if (pulling_) return;
    pulling_ = true;
    retry_ = 0;
  }
  queue_.async([this] { pull(); });
}

bool KXSyncPen::isPulling() const {
  kx::MutexLock lock(mu_);
  return pulling_;
}

void KXSyncPen::endPull() {
  kx::MutexLock lock(mu_);
  pulling_ = false;
}

void KXSyncPen::pull() {
  for (;;) {
    {
      kx::MutexLock lock(mu_);
      if (retry_++ >= kMaxAttempts) {
        pulling_ = false;
        return;
      }
    }
    const std::int64_t stored = storedListVersion();
    const kx::Value session = KXSyncState::shared().currentSessionVersion();
    const std::string sessionId = session.isNull() ? std::string() : session.stringValue();
    if (sessionId.empty()) {
      endPull();
      return;
    }
    KXNetworkOperationOptions options{
        {kKXOptionURL, kx::Value(baseURL() + kPenPath + "?method=pull")},
        {kKXOptionParams, kx::Value::dict({{"baseVersion", kx::Value(stored >= 1 ? stored : 0)},
                                           {"sessionId", kx::Value(sessionId)}})}};
    KXSyncServiceReply reply = KXSyncServiceCall(options, true);
    if (!reply.ok() && reply.status != 200) {
      KXLOG("pen pull failed: %s", reply.error.localizedDescription().c_str());
      continue;  // the next attempt
    }
    if (reply.json.isDictionary() && reply.json.dict().contains("listVersion")) {
      const std::string version = reply.json["listVersion"].stringValue();
      if (reply.json["listVersion"].intValue() > 0) {
        kx::Error error;
        if (!kx::UserDefaults::standardUserDefaults().setObject(kx::Value(version), kListVersionKey,
                                                                &error)) {
          KXLOG("pen list version not stored: %s", error.localizedDescription().c_str());
        }
        kx::NotificationCenter* center = center_;
        const void* object = this;
        kx::MainQueue::shared().async(
            [center, object] { center->post(kListVersionNotification, object); });
      }
    }
    endPull();
    return;
  }
}

void KXSyncPen::updatePageWithEntryId(const std::string& entryId) {
  KXNetworkOperationOptions options{
      {kKXOptionURL, kx::Value(baseURL() + kPenPath + "?method=latestPages")},
      {kKXOptionParams, kx::Value::dict({{"entryId", kx::Value(entryId)}})}};
  KXSyncServiceReply reply = KXSyncServiceCall(options, true);
  if (!reply.ok() || !reply.json.isDictionary() || !reply.json.dict().contains("entryId")) return;
  kx::UserDefaults& defaults = kx::UserDefaults::standardUserDefaults();
  kx::Value stored = defaults.objectForKey(kLatestPagesKey);
  kx::Dictionary pages = stored.isDictionary() ? stored.dict() : kx::Dictionary();
  pages.set(entryId, reply.json);
  kx::Error error;
  if (!defaults.setObject(kx::Value(std::move(pages)), kLatestPagesKey, &error) ||
      !defaults.synchronize(&error)) {
    KXLOG("pen pages not stored: %s", error.localizedDescription().c_str());
  }
}

kx::Value KXSyncPen::getAllPageWithEntryId(const std::string& entryId) {
  kx::Value stored = kx::UserDefaults::standardUserDefaults().objectForKey(kLatestPagesKey);
  if (!stored.isDictionary()) return kx::Value();
  const kx::Value* pages = stored.dict().find(entryId);
  return pages ? *pages : kx::Value();
}
