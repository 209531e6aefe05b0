// KXSyncStatisInfo reports the client's usage counters to the service once
// after each sign-in, and sends sync information on request.
//
//   pushStaticInfo()  the store's counters above 0 (KXDataClient::
//                     fetchStatisInfo); with none, nothing is sent.
//                     Otherwise GET "/lumbox/rpc/st/op" with the counters
//                     and "userid" (the signed-in user) as query
//                     parameters. A 200 JSON object whose "error" is not
//                     true means the service took them: the counts sent
//                     are taken off the counters (what was counted during
//                     the request stays). Any other answer leaves the
//                     counters for the next upload.
//   syncInfo(dict)    POST "/qrt/mapi/ilogrpt?method=putmacstat" with the
//                     dictionary; the answer is not looked at.
//
// Both run one at a time on the serial queue "com.zarvel.note.queue.statis".
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXSYNCSTATISINFO_H_
#define ZN_SYNC_KXSYNCSTATISINFO_H_

#include <functional>
#include <memory>
#include <string>

#include "platform/SerialQueue.h"
#include "platform/Value.h"

class KXDataClient;

class KXSyncStatisInfo {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.statis";
  static constexpr const char* kStatisPath = "/lumbox/rpc/st/op";
  static constexpr const char* kSyncInfoPath = "/qrt/mapi/ilogrpt";

  using UserProvider = std::function<std::string()>;

  // The program's instance, made on first use and never freed.
  static KXSyncStatisInfo& shareInstance();

  // nullptr client: the program's data client; "": KXServiceBaseURL; null
  // provider: the session's current user.
  explicit KXSyncStatisInfo(KXDataClient* client = nullptr, std::string serviceBaseURL = {},
                            UserProvider currentUser = nullptr);
  ~KXSyncStatisInfo();
  KXSyncStatisInfo(const KXSyncStatisInfo&) = delete;
  KXSyncStatisInfo& operator=(const KXSyncStatisInfo&) = delete;

  void pushStaticInfo();
  void syncInfo(const kx::Dictionary& info);

  kx::SerialQueue& queue() { return queue_; }

 private:
  KXDataClient& client();
  std::string baseURL() const;

  KXDataClient* const client_;
  const std::string serviceBaseURL_;
  const UserProvider currentUser_;
  kx::SerialQueue queue_;
};

#endif  // ZN_SYNC_KXSYNCSTATISINFO_H_
