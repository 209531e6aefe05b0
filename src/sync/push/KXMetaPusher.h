// KXMetaPusher sends one entry of the store (a notebook, a note or a normal
// file) to the service and stores the service's answer:
//
//   read    in one write block, the entry's values, its resources and its
//           change counter (FileMeta::localChangeCount), so that an edit
//           written before the push is either in what is sent or moves the
//           counter;
//   send    POST "/qrt/api/personal/sync?method=push" with the entry's
//           parameters as a stream body ("application/qopal-stream"); a
//           note's or a Markdown file's text goes as "bodyString" with a
//           new "transmitId"; a normal file whose content changed is first
//           uploaded (KXFileUploader) and sent with the upload's
//           "transmitId". A removed entry (remoteRemoved) is erased instead
//           (a form body with "erased" and "parentId" "1");
//   store   the answer ({"entry", "meta"}, the service's file entry) in the
//           store's names, without "summary": the entry takes the service's
//           values and loses its marks unless the counter moved (then it
//           takes only the version); resources uploaded for it take their
//           remote address. An erase removes the entry for good.
//
// Service errors ({"error": code, "message": text}) become errors of the
// domain "com.zarvel.note.Error" with the service's code (the push order
// compares 20102 and 225) and the message in the user info:
//   DUPLICATE_FILE_NAME  the entry is renamed to the service's "adviceName"
//                        (or the store's free variant of it) and pushed
//                        again, at most kMaxDupRenames times;
//   USER_SPACE_FULL      an alert the first time in a run, then the failure;
//   VERSION_CONFLICT, PARENT_NOT_EXIST  a statistics event, then the failure.
// A reply without a usable entry (not a dictionary, no "entry", no version)
// fails the push and changes nothing in the store.
//
// failsEntryOnly() tells the push order whether a failure belongs to this
// entry alone (it will repeat for the entry, and other entries may still go)
// or to the whole push (no answer from the service, a server failure, a full
// space).
//
// The block is called once. clearEnvironment() (a failed push, a sign-out)
// cancels the running request and upload and calls nothing afterwards;
// stop() (a cancelled cycle) lets a request the service is already
// answering finish and store its answer, and cancels what has not started.
//
// Thread safety: every member may be called from any thread; the steps run
// on the threads of the request callbacks and of the store's queues.
#ifndef ZN_SYNC_KXMETAPUSHER_H_
#define ZN_SYNC_KXMETAPUSHER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "account/KXNetworkOperation.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"
#include "sync/push/KXSyncPushServices.h"

class KXFileUploader;

class KXMetaPusher : public std::enable_shared_from_this<KXMetaPusher> {
 public:
  static constexpr const char* kPushPath = "/qrt/api/personal/sync?method=push";
  static constexpr const char* kErrorDomain = "com.zarvel.note.Error";
  static constexpr std::int64_t kErrorCode = 0x400000002;
  // Renames after DUPLICATE_FILE_NAME, per entry and push.
  static constexpr int kMaxDupRenames = 3;
  // User-info keys of the errors handed up.
  static constexpr const char* kEntryOnlyKey = "entryOnly";
  static constexpr const char* kMessageKey = "message";

  using Callback = std::function<void(const kx::Value& reply, const kx::Error& error)>;

  // What was read of the entry when its push began.
  struct ResourceState {
    std::string resourceId;
    std::int64_t version = 0;
    bool localModified = false;
    std::string remoteSrc;
  };
  struct Snapshot {
    std::string entity;  // "Note", "Notebook", "NormalFile"
    kx::Dictionary values;
    std::vector<ResourceState> resources;
    std::uint64_t changeCount = 0;
  };

  static std::shared_ptr<KXMetaPusher> metaPusherWithMeta(const std::string& fileId,
                                                          KXSyncPushServices services = {});
  KXMetaPusher(std::string fileId, KXSyncPushServices services);

  void pushWithCallback(Callback callback);
  void clearEnvironment();
  void stop();

  const std::string& fileId() const { return fileId_; }
  void setOverlookResVersion(bool overlook);
  // Resource id → record of its upload ({"remoteURL", "remoteSrc", "version",
  // "fileSize"}, or {"version"} after the version read).
  void setPushedResources(kx::Dictionary pushedResources);

  // Reads the entry, its resources and its change counter on the write
  // queue; false when the store does not hold it (or is closed).
  static bool readSnapshot(KXDataClient& client, const std::string& fileId, Snapshot* out);
  // The push parameters of the Part's table, in order, without the kind's
  // own ("transmitId", "bodyString").
  static kx::Dictionary pushParameters(const Snapshot& snapshot, const kx::Dictionary& pushed,
                                       bool overlookResVersion, std::int64_t sessionVersion,
                                       const std::optional<std::string>& editorVersion);
  // "<id>:<version>;..." of the entry's resources.
  static std::string resourceList(const Snapshot& snapshot, const kx::Dictionary& pushed,
                                  bool overlookResVersion);
  // Every match of `pattern` in `text` replaced by `replacement`; the text
  // unchanged when the replacement is nullopt or the pattern is invalid.
  static std::string replaceContent(const std::string& text,
                                    const std::optional<std::string>& replacement,
                                    const std::string& pattern);

  static bool failsEntryOnly(const kx::Error& error);
  // The sync error, marked as this entry's alone.
  static kx::Error entryError(const std::string& why);
  // What a pusher stopped before its answer reports.
  static kx::Error stoppedError();
  // Forgets that the full-space alert was shown (tests).
  static void resetSpaceFullAlertForTesting();

 private:
  void push();
  void eraseMeta(const Snapshot& snapshot);
  void pushNote(kx::Dictionary params, const Snapshot& snapshot);
  void pushNormalFile(kx::Dictionary params, const Snapshot& snapshot);
  void commonPushMetaWithOptions(KXNetworkOperationOptions options, bool erase,
                                 const Snapshot& snapshot);
  void handleAnswer(const kx::Value& reply, const Snapshot& snapshot);
  void commonHandleError(const kx::Error& error, const kx::Value& result, const Snapshot& snapshot);
  void handleDupNameWithFileMeta(const Snapshot& snapshot, const std::string& adviceName);
  // The note or Markdown text to send; nullopt for none.
  std::optional<std::string> bodyString(const Snapshot& snapshot);
  std::string contentForRequestForMd(const Snapshot& snapshot);
  void finish(const kx::Value& reply, const kx::Error& error);
  bool stopped() const;

  const std::string fileId_;
  const KXSyncPushServices services_;

  mutable kx::Mutex mu_;
  Callback callback_ GUARDED_BY(mu_);
  bool overlookResVersion_ GUARDED_BY(mu_) = false;
  kx::Dictionary pushedResources_ GUARDED_BY(mu_);
  std::shared_ptr<KXFileUploader> uploader_ GUARDED_BY(mu_);
  std::shared_ptr<KXNetworkOperation> socket_ GUARDED_BY(mu_);
  int dupRenames_ GUARDED_BY(mu_) = 0;
  bool cleared_ GUARDED_BY(mu_) = false;
  bool stopped_ GUARDED_BY(mu_) = false;
  bool ended_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXMETAPUSHER_H_
