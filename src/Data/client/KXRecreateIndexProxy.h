// KXRecreateIndexProxy fills the full-text index for entries of the store
// that were never indexed: the user's own Markdown files, whose text lies in
// content files, and the Markdown files and notes shared with the user,
// whose content the sync engine's my-share proxy fetches (reached through
// KXMyshareHooks). The sync engine starts a run after every pull and when
// the network comes back; runs go on until one finds nothing left, which is
// recorded in the store's state table under "recreateIndexDone".
//
// A run (startRecreateIndex) saves the write context and, in that save's
// completion on the write queue, reads the two selections below. When both
// were read and both are empty it stores YES under "recreateIndexDone";
// otherwise the indexing step runs on the proxy's serial queue
// "com.zarvel.note.queue.recreateIndex": one indexNotes call per own entry
// (title, a blank, the content file's text), then, while the network flag is
// YES, each shared entry is handed to the my-share proxy. indexNotes marks
// an entry hasIndex only when the indexer took its document, so the next run
// selects exactly what is still missing. A failed selection read is logged
// and never counts as an empty list: the state key is then not stored.
//
// The index analysis (KXSIndexProxy::kAnalysisVersion) is recorded beside
// the state key under "recreateIndexAnalysisVersion": the version under
// which the entries' hasIndex flags were given. When it is older than the
// indexer's (or missing, for stores indexed before it was kept), a run
// first clears hasIndex of every live entry the selections cover, stamps
// the current version and stores NO under "recreateIndexDone", all in one
// save; the rebuild then reindexes them run by run. Their documents stay in
// the index with their old terms until replaced, so nothing becomes
// unsearchable meanwhile. A store whose flags are current does none of this.
//
// Overlapping runs are allowed: a run that starts before an earlier run's
// step has finished selects the same entries again, and the indexer
// replaces documents of the same identifier.
//
// Thread safety: every member may be called from any thread. The network
// flag is atomic; the selections are handed to the step by value. The
// destructor (tests, benchmarks) waits for the runs pending on the store's
// write queue and runs the steps queued on its own queue; the data client
// must outlive the proxy.
#ifndef ZN_DATA_KXRECREATEINDEXPROXY_H_
#define ZN_DATA_KXRECREATEINDEXPROXY_H_

#include <atomic>
#include <string>
#include <vector>

#include "platform/SerialQueue.h"
#include "platform/Value.h"

class KXDataClient;
class KXFileManager;
class KXManagedObjectContext;

class KXRecreateIndexProxy {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.recreateIndex";
  // DbState keys: YES once a run found nothing left to index; the analysis
  // version the hasIndex flags were given under.
  static constexpr const char* kRecreateIndexDoneKey = "recreateIndexDone";
  static constexpr const char* kRecreateIndexAnalysisVersionKey = "recreateIndexAnalysisVersion";
  // The two selections on "FileMeta"; their one argument is kMarkdownSuffix.
  static constexpr const char* kOwnEntriesCondition =
      "title ENDSWITH %@ AND hasIndex == nil AND del != 1 AND public_key == nil";
  static constexpr const char* kSharedEntriesCondition =
      "(title ENDSWITH %@ OR domain == 0 ) AND hasIndex == nil AND del != 1 AND public_key != nil";
  static constexpr const char* kMarkdownSuffix = ".md";

  // The program's proxy over the program's data client and file manager,
  // made on first use (thread-safely) and never freed.
  static KXRecreateIndexProxy& defaultProxy();

  // A proxy over the given client and file manager (tests and benchmarks).
  KXRecreateIndexProxy(KXDataClient& client, KXFileManager& files);
  ~KXRecreateIndexProxy();
  KXRecreateIndexProxy(const KXRecreateIndexProxy&) = delete;
  KXRecreateIndexProxy& operator=(const KXRecreateIndexProxy&) = delete;

  // NO when "recreateIndexDone" holds a true value and the recorded
  // analysis version is not older than the indexer's; YES otherwise (also
  // when either key is missing). Reads on the store's read queue.
  bool isNeedRecreateIndex();
  // One run (see above); returns at once.
  void startRecreateIndex();
  // Whether shared entries may be handed on (they need the network). YES
  // when the proxy is made; a change during a step takes effect in that
  // step or the next.
  void changeNetWorkStatus(bool reachable) { flagNetWorkReached_.store(reachable); }

  // The proxy's serial queue, where the indexing step runs.
  kx::SerialQueue& indexQueue() { return indexQueue_; }

 private:
  struct OwnEntry {
    std::string fileId;
    std::string title;
  };

  // On the write queue, in the context of that queue.
  void runSelections(KXManagedObjectContext& context);
  bool resetFlagsForOlderAnalysis(KXManagedObjectContext& context);
  void setStateValue(KXManagedObjectContext& context, const char* key, const kx::Value& value);
  // On the proxy's queue.
  void indexEntries(const std::vector<OwnEntry>& own, const std::vector<kx::Dictionary>& shared);

  KXDataClient& client_;
  KXFileManager& files_;
  std::atomic<bool> flagNetWorkReached_{true};
  // Last member: destroyed first, running the steps still queued while the
  // rest is alive.
  kx::SerialQueue indexQueue_{kQueueLabel};
};

#endif  // ZN_DATA_KXRECREATEINDEXPROXY_H_
