// KXSyncMyshare is the sync engine's proxy for the entries the user shares
// ("my shares").
//
// Pull (startPull, queued on the serial queue "com.zarvel.note.queue.
// myshare"): POST "/qrt/api/personal/myshare?method=pull" with "lastId"
// (the cursor, "" for the first page), "limit" 512 and "lastTime" (the
// store's state "myShareLastTime", when known), page after page while the
// reply is "truncated", at most three requests per pull. Each page is
// applied when it arrives: its entries (service file entries, converted to
// the store's names) are changed in place when stored, added (not local)
// otherwise, saved, and indexed. A pull that runs out of requests keeps its
// cursor and the next pull goes on from there, so a long list arrives over
// cycles. "myShareLastTime" moves on (to the time the first page of the
// run was asked for) only once the last page has been applied; a failed
// request ends the pull and keeps both the time and the cursor.
//
// Index: the store's index rebuild hands it each shared entry still without
// an index document (through KXMyshareHooks, installed by installIndexHook):
//
//  - a stored file ("domain" true) whose title's extension is not "md" is
//    indexed by its title alone;
//  - anything else needs its content from the service: the installed
//    content fetcher is asked for it (entry id = the file id, and the
//    version) and the title (a note's without its extension), a blank and
//    the text (a note's XML as plain text) are indexed.
//
// Nothing is reported to the caller. An entry that could not be indexed (no
// fetcher installed yet, a failed fetch, no file id) keeps hasIndex nil, and
// the next rebuild offers it again.
//
// The owners' icons ("ownerFigure") are not localized: the local file host
// that would serve them is not there yet, and the entries keep the
// service's path.
//
// Thread safety: every member may be called from any thread. mu_ guards the
// fetcher and the pull's state; the fetcher is called without it.
#ifndef ZN_SYNC_KXSYNCMYSHARE_H_
#define ZN_SYNC_KXSYNCMYSHARE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Mutex.h"
#include "platform/SerialQueue.h"
#include "platform/ThreadAnnotations.h"
#include "platform/Value.h"
#include "sync/cycle/KXSyncMyshareContentFetcher.h"

class KXDataClient;

class KXSyncMyshare {
 public:
  // The program's proxy, over the program's data client, made on first use
  // (thread-safely) and never freed.
  static KXSyncMyshare& defaultProxy();
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.myshare";
  static constexpr const char* kMysharePath = "/qrt/api/personal/myshare";
  static constexpr const char* kLastTimeKey = "myShareLastTime";
  static constexpr int kPageLimit = 512;
  static constexpr int kMaxRequests = 3;
  // Makes the store's index rebuild hand shared entries to defaultProxy().
  static void installIndexHook();

  // A proxy over `client` (tests); nullptr: the program's data client,
  // taken when first needed. "": the service at KXServiceBaseURL.
  explicit KXSyncMyshare(KXDataClient* client = nullptr, std::string serviceBaseURL = {});

  // Queues one pull (above); a request made while one waits to begin is
  // covered by it.
  void startPull();
  // The cursor the next pull starts from ("": the first page).
  std::string truncatedMarker() const;
  kx::SerialQueue& queue() { return queue_; }
  KXSyncMyshare(const KXSyncMyshare&) = delete;
  KXSyncMyshare& operator=(const KXSyncMyshare&) = delete;

  // Indexes one shared entry: a dictionary with "fileId", "title", "domain"
  // and "version" (see above).
  void indexForFileInfo(const kx::Dictionary& fileInfo);

  // The service fetch for entries that need their content (nullptr: none).
  void setContentFetcher(std::shared_ptr<KXSyncMyshareContentFetcher> fetcher);

 private:
  KXDataClient& client();
  std::string baseURL() const;
  void pull();
  // Stores, saves and indexes one page's entries; false when the store
  // refused them.
  bool applyPage(const kx::Array& values);

  KXDataClient* client_;
  const std::string serviceBaseURL_;
  kx::SerialQueue queue_;
  mutable kx::Mutex mu_;
  std::shared_ptr<KXSyncMyshareContentFetcher> fetcher_ GUARDED_BY(mu_);
  std::string truncatedMarker_ GUARDED_BY(mu_);
  // When the first page of the unfinished run was asked for.
  std::optional<std::int64_t> runStartTime_ GUARDED_BY(mu_);
  // A pull waits on the queue and has not begun.
  bool pullQueued_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXSYNCMYSHARE_H_
