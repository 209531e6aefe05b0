#include "sync/cycle/KXSyncStatisInfo.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXSyncRecords.h"
#include "account/KXNetworkOperation.h"
#include "account/KXSession.h"
#include "platform/Semaphore.h"
#include "sync/cycle/KXSyncServiceCall.h"

KXSyncStatisInfo& KXSyncStatisInfo::shareInstance() {
  static KXSyncStatisInfo* instance = new KXSyncStatisInfo();
  return *instance;
}

KXSyncStatisInfo::KXSyncStatisInfo(KXDataClient* client, std::string serviceBaseURL,
                                   UserProvider currentUser)
    : client_(client),
      serviceBaseURL_(std::move(serviceBaseURL)),
      currentUser_(currentUser ? std::move(currentUser)
                               : [] { return KXSession::defaultSession().currentUser(); }),
      queue_(kQueueLabel) {}

KXSyncStatisInfo::~KXSyncStatisInfo() = default;

KXDataClient& KXSyncStatisInfo::client() {
  return client_ != nullptr ? *client_ : KXDataClient::defaultDataClient();
}

std::string KXSyncStatisInfo::baseURL() const {
  return serviceBaseURL_.empty() ? KXServiceBaseURL() : serviceBaseURL_;
}

void KXSyncStatisInfo::pushStaticInfo() {
  queue_.async([this] {
    KXDataClient& store = client();
    const kx::Dictionary counters = store.records().fetchStatisInfo();
    if (counters.empty()) return;
    kx::Dictionary params = counters;
    params.set("userid", kx::Value(currentUser_()));
    KXNetworkOperationOptions options{{kKXOptionURL, kx::Value(baseURL() + kStatisPath)},
                                      {kKXOptionDataType, kx::Value(kKXJSONDataType)},
                                      {kKXOptionMethod, kx::Value("GET")},
                                      {"userData", kx::Value("statis-info")},
                                      {kKXOptionParams, kx::Value(std::move(params))}};
    KXSyncServiceReply reply = KXSyncServiceCall(options, true);
    if (!reply.ok() || !reply.json.isDictionary() || reply.json["error"].boolValue()) {
      KXLOG("statistics not taken: %s", reply.error.localizedDescription().c_str());
      return;
    }
    auto done = std::make_shared<kx::Semaphore>();
    store.records().deductStatisInfo(counters, [done] { done->signal(); });
    done->wait();
  });
}

void KXSyncStatisInfo::syncInfo(const kx::Dictionary& info) {
  queue_.async([this, info] {
    KXNetworkOperationOptions options{
        {kKXOptionURL, kx::Value(baseURL() + kSyncInfoPath + "?method=putmacstat")},
        {kKXOptionDataType, kx::Value(kKXJSONDataType)},
        {kKXOptionMethod, kx::Value("POST")},
        {"userData", kx::Value("sync-info")},
        {kKXOptionParams, kx::Value(info)}};
    kx::ignoreError(KXSyncServiceCall(options, false).error);
  });
}
