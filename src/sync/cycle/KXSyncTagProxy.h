// KXSyncTagProxy keeps the user's tags level with the service, as one whole
// list with its version "v" (the store's tag version), apart from the
// entries.
//
//   pullTags   GET "/qrt/mapi/tag?method=get": every tag of the service's
//              list is created or updated in the store (KXDataClient::
//              createOrUpdateTag); a stored tag with a service id that is
//              no longer on the list is deleted; the reply's "v" becomes
//              the tag version. A tag changed here and not pushed yet
//              (isLocalCreated, isLocalModified or isLocalRemoved) is left
//              as it is, and so is the service's row of it: the push sends
//              it. A failed request changes nothing.
//   pushTags   when a tag was created, changed or removed here (or has no
//              service id), POST "/qrt/mapi/tag?method=set" with one
//              multipart part "tags" holding the pretty JSON of every live
//              tag with a service id, in the service's names ("Tag"). On
//              success the sent tags lose their local marks (unless changed
//              or removed here while the list was on its way: those keep
//              them for the next push), the removed ones and those without a
//              service id leave the store, and the reply's "v" becomes the
//              tag version and the session version.
//              On a failure nothing is deleted or cleared: the removals and
//              changes are sent again by the next push.
//
// Each request runs on an operation of its own, so that one aborted (the
// machine went to sleep) does not fail the later ones. Both run one at a
// time, in the order asked, on the serial queue
// "com.zarvel.note.queue.tags", and each waits for its store writes before
// the next begins: a pull asked for before a push of the same cycle has been
// applied when the push reads the tags, so the push never sends a list the
// pull is about to change.
//
// The push ends with its completion: (new tag version, no error) after an
// upload, (-1, no error) when there was nothing to send, (-1, the error) on
// a failure. The completion runs on the tag queue.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXSYNCTAGPROXY_H_
#define ZN_SYNC_KXSYNCTAGPROXY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Error.h"
#include "platform/SerialQueue.h"

class KXDataClient;

class KXSyncTagProxy {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.tags";
  static constexpr const char* kTagPath = "/qrt/mapi/tag";

  using PushCompletion = std::function<void(std::int64_t version, const kx::Error& error)>;

  // The program's proxy (the program's data client and service), made on
  // first use and never freed.
  static KXSyncTagProxy& defaultProxy();

  // nullptr: the program's data client, taken when needed; "": the
  // service's origin (KXServiceBaseURL).
  explicit KXSyncTagProxy(KXDataClient* client = nullptr, std::string serviceBaseURL = {});
  ~KXSyncTagProxy();
  KXSyncTagProxy(const KXSyncTagProxy&) = delete;
  KXSyncTagProxy& operator=(const KXSyncTagProxy&) = delete;

  void pullTags();
  void pushTags(PushCompletion completion);

  // Makes the shared proxy's tag push the first step of every entry push
  // (KXSyncPushTagStep). The application object calls this at start.
  static void installPushStep();
  static bool isPushStepInstalled();

  // The tag queue (tests wait on it).
  kx::SerialQueue& queue() { return queue_; }

 private:
  void runPull();
  void runPush(const PushCompletion& completion);
  KXDataClient& client();
  std::string baseURL() const;

  KXDataClient* const client_;
  const std::string serviceBaseURL_;
  kx::SerialQueue queue_;
};

#endif  // ZN_SYNC_KXSYNCTAGPROXY_H_
