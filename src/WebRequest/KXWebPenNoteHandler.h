// KXWebPenNoteHandler answers the page's two smart-pen calls under
// ".../blepenbook" from the local copy while the service host cannot be
// reached (online, the same requests go to the service):
//  - "method=pull": {"bookEntries": every stored pen book (formatCoreData)},
//    -1000 when none is stored;
//  - "method=latestPages" (needs "entryId"): the kept latest pages of that
//    book (user default "DBallPenNotePage"), -1000 when none are kept.
// No method, or another method: -1000.
//
// Acceptance tests the path and the query first, so only pen requests pay
// for the reachability check; the check has a time limit (the process's
// reachability provider, Reachability). This is the one handler whose
// acceptRequest may wait (at most that limit).
//
// Thread safety: no state besides the environment; both request methods
// may be called from any thread at once.
#ifndef ZN_WEBREQUEST_KXWEBPENNOTEHANDLER_H_
#define ZN_WEBREQUEST_KXWEBPENNOTEHANDLER_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "Data/entities/PenEntry.h"
#include "WebRequest/KXDataRequestDelegate.h"
#include "WebRequest/KXHandlerMethods.h"
#include "WebRequest/KXRequestType.h"
#include "platform/Value.h"

class KXWebPenNoteHandler : public KXDataRequestDelegate {
 public:
  static constexpr const char* kPagesDefaultsKey = "DBallPenNotePage";

  struct Environment {
    // Whether the host can be reached (with a time limit).
    std::function<bool(const std::string& host)> isReachable;
    // The kept latest pages of a book; Null when none are kept.
    std::function<kx::Value(const std::string& entryId)> latestPages;
  };

  static KXWebPenNoteHandler& sharedHandler();
  KXWebPenNoteHandler(KXDataClient& client, Environment environment);

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;

  // One object per book, keys as the service names them ("avtice" for
  // the active flag); attributes without a value are left out.
  kx::Array formatCoreData(const std::vector<std::shared_ptr<PenEntry>>& entries);

  // What `method` does to the store: KXRequestTypeServiceRead for "pull"
  // and "latestPages", KXRequestTypeNotTaken for a name not served.
  static KXRequestType methodEffect(std::string_view method);

 private:
  // One request on its way through a method, and a method of the table.
  struct Call;
  using PenMethod = KXHandlerMethod<KXWebPenNoteHandler, Call>;
  static KXHandlerMethods<PenMethod> methods();

  void pull(Call& call);
  void latestPages(Call& call);

  KXDataClient& client_;
  const Environment env_;
};

#endif  // ZN_WEBREQUEST_KXWEBPENNOTEHANDLER_H_
