// KXNoteUtil gathers the helpers that the sync engine, the local web service
// and the web view host need around notes: recognising links to resources on
// the note service, reading the image tags of content that the page sends,
// patching a resource's file length inside stored note XML, preparing a
// note's content for upload, moving and deleting notes through the data
// client, and the one door through which the client asks for a sync after
// local changes (startSync).
//
// The sync request chain: startSync hands a request without a completion to
// a delayed-run window of 2 seconds (KXDelayRunUtil), which runs the task at
// once for such a request; the task goes to the default-priority global
// queue, which arms, 100 milliseconds later on the background-priority
// global queue, the sync engine's manual sync (KXSyncRequestHooks::
// syncByManual). The sync manager merges requests that come while one sync
// waits, so a burst of startSync calls costs at most one more sync.
//
// Deleting notes does not save: the content files of notes purged from the
// trash go only after the next successful save of the write context that
// holds the delete (KXDataClient::removeContentFilesAfterSave).
//
// Thread safety: the static members are pure. Every member may be called
// from any thread; the pending-change fields are guarded by mu_. Moves and
// deletes go to the data client's write queue; their completions here run on
// the caller's thread.
#ifndef ZN_DATA_DATAUTIL_KXNOTEUTIL_H_
#define ZN_DATA_DATAUTIL_KXNOTEUTIL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CommonUtils/KXDelayClock.h"
#include "CommonUtils/KXDelayRunUtil.h"
#include "Data/client/KXDataClient.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

class KXNoteUtil {
 public:
  static constexpr float kSyncWindowSeconds = 2.0f;
  static constexpr double kSyncDelaySeconds = 0.1;
  // Key of the file ids in the user information of a refused move.
  static constexpr const char* kErrorPathKey = "errorPath";
  // modifyType after the encryption flag was set.
  static constexpr std::int64_t kModifyTypeEncryption = 2;

  // The program's instance: the default data client (made at its first
  // use), the system clock, the system's reachability.
  static KXNoteUtil& sharedUtil();

  // An instance for tests: the client (nullptr: the default one), the clock
  // of the sync window and delay, and whether the service can be reached.
  KXNoteUtil(KXDataClient* client, std::shared_ptr<KXDelayClock> clock,
             std::function<bool()> canConnect);
  KXNoteUtil(const KXNoteUtil&) = delete;
  KXNoteUtil& operator=(const KXNoteUtil&) = delete;

  // Whether the link ("//host/...", "http://host/..." or "https://host/...",
  // host the service's web host) names a resource on the service: its path
  // components start "src", are "web" and one more, start "qrt" "res" and
  // one more, or start "qrt" "public" "resource". Native resources are the
  // "src" and "qrt/res" forms.
  static bool isResourceURL(std::string_view link);
  static bool isNativeResourceURL(std::string_view link);

  // Asks for a sync; returns at once.
  void startSync();
  // The window's task: arms the manual sync 100 ms later on a background
  // global queue.
  void startSyncTask();
  // With a reachable service, the completion waits for the end of the next
  // sync (KXSyncRequestHooks::didAfterSync) and a sync is asked for;
  // without, it is called at once and no sync is asked for.
  void startSyncWithCallback(std::function<void()> completion);

  // One {"origin": the tag's attribute text, "attr": its attributes
  // (KXResourceUtil::attributesOfResourceTagData)} per "<img ...>" tag, in
  // document order; empty for nullopt.
  static kx::Array fullResDescFromReceivedContent(const std::optional<std::string>& html);
  // The "attr" values of the above.
  static kx::Array resourceDescFromReceivedContent(const std::optional<std::string>& html);
  // The note XML with the file length of the resource's entry
  // ("<id></resource><filename>...</filename><filelength>n</filelength>")
  // set to the size's text. The id and the size are taken literally; the
  // text comes back unchanged when the resource is not in it.
  static std::string replaceFileSize(std::string_view xml, std::string_view resourceId,
                                     const kx::Value& size);
  // The note's stored content (missing content as its placeholder text) with
  // the links to the service that end with each resource id replaced by the
  // id, for upload.
  static std::string contentForRequestForNote(const std::string& fileId,
                                              const std::vector<std::string>& resourceIds);

  // Moves the notes into the notebook through the data client, then calls
  // the completion (when given) with no result and no error. Without a
  // target or notes: the completion gets NSCocoaErrorDomain 2 with the file
  // ids under "errorPath".
  void moveNotes(const std::vector<std::string>& fileIds,
                 const std::optional<std::string>& notebookId, const KXDataCallback& callback);
  // Deletes the stored notes of those file ids through the data client (into
  // the trash; out of it for notes already there) and calls the completion
  // (when given) with no result and no error. Not saved: the content files
  // of the notes purged go after the next successful save.
  void deleteNotes(const std::vector<std::string>& fileIds, const KXDataCallback& callback);
  // "/<folders>/<new file id>" for a new entry beside the one at `path`
  // ("/A/B/x" gives "/A/B/<id>"); nullopt (and a log line) when the path has
  // no "/" after its first character.
  static std::optional<std::string> getNewEntryPath(std::string_view path);
  // A new resource id; the argument is ignored.
  static std::string getNewResourceID(const kx::Value& ignored = kx::Value());
  // Stores the entry's share information and saves; nothing without a file
  // id.
  void upateEntryShareUrl(const std::optional<std::string>& shareUrl, bool searchEngineEnable,
                          const std::optional<std::string>& fileId);

  // Pending notebook or note changes of the page.
  std::optional<kx::Dictionary> uncommitData() const;
  void setUncommitData(std::optional<kx::Dictionary> data);
  std::int64_t modifyType() const;
  // Sets modifyType to kModifyTypeEncryption and, when there are pending
  // changes, their "content" dictionary's "encrypted" to the value.
  void setEncrypted(const kx::Value& encrypted);

  // Not implemented: raise "KXMethodNotImplemented".
  [[noreturn]] void webView(const kx::Value& webView, const kx::Value& frame);
  [[noreturn]] void updatePreviewForNote(const kx::Value& note);
  [[noreturn]] kx::Value previewForNote(const kx::Value& note);

 private:
  KXDataClient& client() const;

  KXDataClient* const client_;  // nullptr: the default client
  const std::shared_ptr<KXDelayClock> clock_;
  const std::function<bool()> canConnect_;
  const std::shared_ptr<KXDelayRunUtil> syncWindow_;

  mutable kx::Mutex mu_;
  std::optional<kx::Dictionary> uncommitData_ GUARDED_BY(mu_);
  std::int64_t modifyType_ GUARDED_BY(mu_) = 0;
};

#endif  // ZN_DATA_DATAUTIL_KXNOTEUTIL_H_
