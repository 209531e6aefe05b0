// KXWebTagRequestHandler answers the web interface's tag calls
// ("/qrt/mapi/tag", any query) from the local store:
//  - "list" (needs a stored "tagid"): {"entries", "count"} of the entries
//    carrying the tag (not folders, not deleted, not inside encrypted
//    folders), paged and converted like a folder listing
//    (KXWebFileRequestHandler::fileArrayWithMetas); "count" before paging;
//  - "get": {"v": tag version, "tags": every tag not removed here that has
//    a service id, under the service's names};
//  - "update" (needs "tagid"): changes the stored tag of that id, or adds
//    a new one, from the parameters under the tag's local names; answers
//    {"v"};
//  - "remove" (needs a stored "tagid"): removes the tag; answers {"v"}.
// After each successful change the store is saved and a sync is asked for
// (saveAndSync, after the answer). Missing method or tag id, a tag that is
// not stored, and any other method answer -1000; store errors are passed
// on (no save then).
//
// "list" and "get" answer before handleRequest returns; "update" and
// "remove" answer from the store's write queue.
//
// Thread safety: no state besides the collaborators; both request methods
// may be called from any thread at once.
#ifndef ZN_WEBREQUEST_KXWEBTAGREQUESTHANDLER_H_
#define ZN_WEBREQUEST_KXWEBTAGREQUESTHANDLER_H_

#include <functional>
#include <memory>
#include <string_view>

#include "Data/client/KXDataClient.h"
#include "WebRequest/KXDataRequestDelegate.h"
#include "WebRequest/KXHandlerMethods.h"
#include "WebRequest/KXRequestType.h"
#include "WebRequest/KXWebFileRequestHandler.h"

class KXDelayRunUtil;

class KXWebTagRequestHandler : public KXDataRequestDelegate {
 public:
  // The save-then-sync window's delay.
  static constexpr float kSaveDelaySeconds = 0.1f;

  // The program's handler: the default data client, the shared file
  // handler, and a delayed-run window that saves the store and then asks
  // KXNoteUtil for a sync.
  static KXWebTagRequestHandler& sharedHandler();
  // `saveAndSync` is called once after every successful change.
  KXWebTagRequestHandler(KXDataClient& client, KXWebFileRequestHandler& fileHandler,
                         std::function<void()> saveAndSync);

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;

  // What `method` does to the store: KXRequestTypeServiceChange for
  // "update" and "remove", KXRequestTypeServiceRead for "list" and "get",
  // KXRequestTypeNotTaken for a name not served.
  static KXRequestType methodEffect(std::string_view method);

 private:
  // One request on its way through a method, and a method of the table.
  struct Call;
  using TagMethod = KXHandlerMethod<KXWebTagRequestHandler, Call>;
  static KXHandlerMethods<TagMethod> methods();

  void tagList(Call& call);
  void tagGet(Call& call);
  void tagUpdate(Call& call);
  void tagRemove(Call& call);
  // The store's callback of a change: the error, or {"v"} then saveAndSync.
  KXDataCallback changeAnswer(const std::shared_ptr<KXDataRequestController>& sender,
                              const kx::URL& url);

  KXDataClient& client_;
  KXWebFileRequestHandler& fileHandler_;
  const std::function<void()> saveAndSync_;
};

#endif  // ZN_WEBREQUEST_KXWEBTAGREQUESTHANDLER_H_
