// KXSyncMyshare is the sync engine's proxy for the entries shared with the
// user. Today it answers the store's index rebuild, which hands it each
// shared entry still without an index document (through KXMyshareHooks,
// installed by installIndexHook):
//
//  - a stored file ("domain" true) whose title's extension is not "md" is
//    indexed by its title alone;
//  - anything else needs its content from the service: the installed
//    content fetcher is asked for it (entry id = the file id, and the
//    version) and what comes back is indexed the same way.
//
// Nothing is reported to the caller. An entry that could not be indexed (no
// fetcher installed yet, a failed fetch, no file id) keeps hasIndex nil, and
// the next rebuild offers it again.
//
// Thread safety: every member may be called from any thread. The fetcher is
// guarded by mu_ and called without it.
#ifndef ZN_SYNC_KXSYNCMYSHARE_H_
#define ZN_SYNC_KXSYNCMYSHARE_H_

#include <memory>

#include "platform/Mutex.h"
#include "platform/ThreadAnnotations.h"
#include "platform/Value.h"
#include "sync/KXSyncMyshareContentFetcher.h"

class KXDataClient;

class KXSyncMyshare {
 public:
  // The program's proxy, over the program's data client, made on first use
  // (thread-safely) and never freed.
  static KXSyncMyshare& defaultProxy();
  // Makes the store's index rebuild hand shared entries to defaultProxy().
  static void installIndexHook();

  // A proxy that indexes into `client` (tests); nullptr: the program's data
  // client, taken when first needed.
  explicit KXSyncMyshare(KXDataClient* client = nullptr);
  KXSyncMyshare(const KXSyncMyshare&) = delete;
  KXSyncMyshare& operator=(const KXSyncMyshare&) = delete;

  // Indexes one shared entry: a dictionary with "fileId", "title", "domain"
  // and "version" (see above).
  void indexForFileInfo(const kx::Dictionary& fileInfo);

  // The service fetch for entries that need their content (nullptr: none).
  void setContentFetcher(std::shared_ptr<KXSyncMyshareContentFetcher> fetcher);

 private:
  KXDataClient& client();

  KXDataClient* client_;
  kx::Mutex mu_;
  std::shared_ptr<KXSyncMyshareContentFetcher> fetcher_ GUARDED_BY(mu_);
};

#endif  // ZN_SYNC_KXSYNCMYSHARE_H_
