// KXWebSyncRequestHandler answers the web interface's write requests to the
// service's sync interface ("/qrt/api/personal/sync", "/qrt/mapi/personal/
// sync") from the local store: saving notes, Markdown files, other files and
// folders ("push"), pinning ("setstick"), copying, deleting ("delete",
// "erase"), restoring ("recover"), resumable uploads (the path ".../sync/
// upload[/<transfer id>]"), storing an upload as a resource ("putResource")
// and downloading an entry's content ("download").
//
// Every change is answered only once it is in the store, the store is
// saved and its content file is written; a failure on the way is answered
// as an error (a service-shaped body where the page expects one: 404
// "NOTE_NOT_EXIST", 500 "20108" for a name taken in the target folder, 500
// "MOVE_PARENT_TO_CHILD") and leaves the store and the content file as they
// were. After each change the store is saved again and a sync is asked for
// through a delayed-run window of 0.1 s (a pin only saves).
//
// Ids from the page (file, parent, transfer and resource ids) must be made
// of the store's id characters (letters, digits, "-" and "_", at most 128);
// others are refused with -1000. Titles stay as the page sent them and reach
// the file system only through the file manager's name encoding. Requests
// that do not name the service's host are refused without a change.
//
// Uploads: a transfer has one reader (KXWebDataStreamHandler) and one
// temporary file; it is forgotten once bound to content or a resource, or
// after kTransferIdleSeconds without a request.
//
// Thread safety: acceptRequest and handleRequest may be called from any
// thread at once. Pushes, pins and putResource run one at a time on the
// work queue "com.zarvel.note.queue.sync.handler"; the others run on the
// offering thread. The transfer table, the counter, the resource-id list
// and the removed-resource table are guarded by mu_.
#ifndef ZN_WEBREQUEST_KXWEBSYNCREQUESTHANDLER_H_
#define ZN_WEBREQUEST_KXWEBSYNCREQUESTHANDLER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "CommonUtils/KXDelayRunUtil.h"
#include "Data/client/KXDataClient.h"
#include "WebRequest/KXDataRequestDelegate.h"
#include "WebRequest/KXHandlerMethods.h"
#include "WebRequest/KXRequestType.h"
#include "WebRequest/KXWebDataStreamHandler.h"
#include "platform/Mutex.h"
#include "platform/SerialQueue.h"
#include "platform/Value.h"

class KXFileMetaUtil;
class KXNoteUtil;

class KXWebSyncRequestHandler : public KXDataRequestDelegate {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.sync.handler";
  static constexpr float kSaveDelaySeconds = 0.1f;
  // Longest "name" kept; longer ones are cut.
  static constexpr std::size_t kMaxNameLength = 80;
  // Note saves that wait for resources not stored yet try again this often.
  static constexpr int kMaxSaveRetries = 30;
  static constexpr double kSaveRetrySeconds = 1.0;
  // A transfer without a request for this long is forgotten.
  static constexpr double kTransferIdleSeconds = 3600;
  static constexpr std::size_t kMaxIdLength = 128;
  // Largest form body read from a body stream.
  static constexpr std::size_t kMaxFormBodyBytes = 256u << 20;

  // Whatever asks for a sync (the note utility's startSync in the program).
  using SyncRequest = std::function<void()>;
  // Seconds since an epoch, for transfer ids and idle transfers.
  using Clock = std::function<double()>;

  // The program's handler over the default data client, file-meta and note
  // utilities; syncs go through KXNoteUtil::sharedUtil().startSync().
  static KXWebSyncRequestHandler& sharedHandler();

  KXWebSyncRequestHandler(KXDataClient& client, KXFileMetaUtil& fileMetaUtil, KXNoteUtil& noteUtil,
                          SyncRequest syncRequest, Clock clock = nullptr);
  ~KXWebSyncRequestHandler() override;
  KXWebSyncRequestHandler(const KXWebSyncRequestHandler&) = delete;
  KXWebSyncRequestHandler& operator=(const KXWebSyncRequestHandler&) = delete;

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;

  // The resource ids the page may name before a note that uses them is
  // saved (a paste made them).
  void matchFileString(const std::string& fileString, const std::string& resourceId);
  // Removes every occurrence of the id.
  void removeMatchFileString(const std::string& fileString, const std::string& resourceId);
  bool containResourceId(const std::string& resourceId) const;

  // What `method` does to the store: KXRequestTypeServiceChange for the
  // methods that change it ("push", "setstick", "copy", "delete", "erase",
  // "recover", "putResource"), KXRequestTypeServiceRead for "download",
  // KXRequestTypeNotTaken for a name not served.
  static KXRequestType methodEffect(std::string_view method);

  // The name cut to kMaxNameLength characters, keeping its extension.
  static std::string cutName(const std::string& name);
  // Whether the id is made of the store's id characters.
  static bool isValidId(std::string_view id);
  // "filename=\"<title>\"" with CR, LF and NUL left out and quotes and
  // backslashes escaped.
  static std::string contentDisposition(const std::string& title);

  // The resource change of a note save: {"retry": true}, or {"newResIds":
  // [...], "resInfos": [added, kept, removed]}.
  kx::Dictionary parseResourceWithFileId(const std::string& fileId, const std::string& content);

  // The number of open transfers.
  std::size_t transferCount() const;
  // The delay before a note save tries again (tests shorten it).
  void setSaveRetrySecondsForTesting(double seconds);
  // Transfers opened from now on write their bodies with `write`.
  void setUploadWriteFunctionForTesting(KXWebDataStreamHandler::WriteFunction write);
  // The work queue (tests wait on it).
  kx::SerialQueue& workQueue() { return *workQueue_; }

 private:
  struct Request;
  // Whether the handler still exists, for retries armed on a timer.
  struct Life {
    kx::Mutex mu;
    bool alive GUARDED_BY(mu) = true;
  };
  struct Transfer {
    std::shared_ptr<KXWebDataStreamHandler> reader;
    double lastActivity = 0;
  };

  using SyncMethod = KXHandlerMethod<KXWebSyncRequestHandler, const Request>;
  static KXHandlerMethods<SyncMethod> methods();
  // Pushes, pins and putResource wait their turn on the work queue.
  void queuePush(const Request& request);
  void queuePutResource(const Request& request);

  void upload(const Request& request, const kx::URLRequest& urlRequest);
  void putResource(const Request& request);
  void download(const Request& request);
  void push(std::shared_ptr<const Request> request, int retry);
  void copy(const Request& request);
  void remove(const Request& request);
  void recover(const Request& request);

  // The store saved, then the answer: the entry form of the file id.
  void answerEntry(const Request& request, const std::string& fileId);
  // Saves the store (waits); the error of a failed save.
  kx::Error saveStore();
  // Asks the window for a save and a sync.
  void saveAndSync();

  std::shared_ptr<KXWebDataStreamHandler> transferReader(const std::string& transmitId);
  void forgetTransfer(const std::string& transmitId);

  KXDataClient& client_;
  KXFileMetaUtil& fileMetaUtil_;
  KXNoteUtil& noteUtil_;
  const SyncRequest syncRequest_;
  const Clock clock_;
  std::shared_ptr<kx::SerialQueue> workQueue_;
  std::shared_ptr<KXDelayRunUtil> delayUtil_;
  const std::shared_ptr<Life> life_;

  mutable kx::Mutex mu_;
  std::map<std::string, Transfer> transmIdTable_ GUARDED_BY(mu_);
  std::int64_t counter_ GUARDED_BY(mu_) = 0;
  std::vector<std::string> cacheResources_ GUARDED_BY(mu_);
  std::map<std::string, std::vector<std::string>> delResources_ GUARDED_BY(mu_);
  double saveRetrySeconds_ GUARDED_BY(mu_) = kSaveRetrySeconds;
  KXWebDataStreamHandler::WriteFunction uploadWrite_ GUARDED_BY(mu_);
};

#endif  // ZN_WEBREQUEST_KXWEBSYNCREQUESTHANDLER_H_
