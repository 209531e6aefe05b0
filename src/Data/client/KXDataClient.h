// KXDataClient is the one door through which the sync engine, the local web
// service, the web view host and the shell reach the note store. It owns the
// reference to the data context (KXDataContext: a write context on the write
// queue "com.zarvel.note.db.execute", a read context on the read queue
// "com.zarvel.note.db.read") and the parts that work over it, each of one
// concern, and hands them out:
//  - reads() / readsIn(context): lookups, listings, subtrees, name paths,
//    titles and note lists (KXEntryReads);
//  - writes(): inserts, deletes, modifies, erases, copy, move, recover and
//    clean-up (KXEntryWrites);
//  - state(): state rows, saves and the user row (KXStoreState);
//  - editorSave(): the editor's save, resources and push outcomes
//    (KXEditorSave);
//  - tags(): the user's tags (KXTagStore);
//  - records(): operation log, shares, pull failures, usage counters, pen
//    pages and push marks (KXSyncRecords);
//  - indexing(): the full-text index feed and search configuration
//    (KXIndexFeed);
//  - conversion(): the data version conversion (KXDataConversion).
// Each part's header states its queue rules.
//
// Reserved file entry values: file id "ROOT" (the account's root entry),
// parent id "0" (above the root), "1" (the trash) and "-2" (entries kept out
// of the user's tree: never pushed, left out of whole-store listings).
//
// Making the client (defaultDataClient(), or the constructor in tests)
// configures the search context (KXIndexFeed), makes the index proxy, takes
// the shared search proxy, and installs the foundation layer's root-entry
// hook (KXHooks), the file manager's resource lookup and the crash logger's
// user record provider. It neither converts nor asks anything: the program's
// wiring calls openStore() once, which runs the data conversion.
//
// Thread safety: every member may be called from any thread. The data
// context reference is guarded by mu_; the parts are made in the constructor
// and live as long as the client. The client holds no lock while it waits on
// a queue.
#ifndef ZN_DATA_KXDATACLIENT_H_
#define ZN_DATA_KXDATACLIENT_H_

#include <memory>

#include "Data/client/KXDataClientTypes.h"
#include "platform/Mutex.h"

class KXDataContext;
class KXDataConversion;
class KXEditorSave;
class KXEntryReads;
class KXEntryWrites;
class KXIndexFeed;
class KXManagedObjectContext;
class KXStoreState;
class KXSyncRecords;
class KXTagStore;

class KXDataClient {
 public:
  // Reserved file entry values.
  static constexpr const char* kRootFileId = "ROOT";
  static constexpr const char* kAboveRootParentId = "0";
  static constexpr const char* kTrashParentId = "1";
  static constexpr const char* kHiddenParentId = "-2";

  // The program's client over KXDataContext::defaultContext(), created on the
  // first call (thread-safely) and never freed.
  static KXDataClient& defaultDataClient();

  // A client over the given data context (tests make their own); it does
  // the same set-up as the program's.
  explicit KXDataClient(std::shared_ptr<KXDataContext> context);
  ~KXDataClient();
  KXDataClient(const KXDataClient&) = delete;
  KXDataClient& operator=(const KXDataClient&) = delete;

  // Prepares the opened store for use: runs the data conversion
  // (KXDataConversion::dataConvert) the first time it is called and answers
  // its outcome; later calls answer that outcome again without converting.
  bool openStore();

  // Drops the reference to the data context (at the end of a sign-out).
  // Afterwards reads answer nothing, fetches fail with
  // kKXStoreUnavailableError, and writes do nothing.
  void closeDB();
  // The data context, or nullptr after closeDB.
  std::shared_ptr<KXDataContext> dataContext() const;

  // The parts (KXDataClientParts.cpp); a caller includes the header of each
  // part it uses. Reads bound to the read queue: each hops there and waits.
  KXEntryReads& reads();
  // Reads bound to `context`, run on the caller's queue (which must own the
  // context); nullptr gives the read-queue binding.
  KXEntryReads readsIn(KXManagedObjectContext* context);
  KXEntryWrites& writes();
  KXStoreState& state();
  KXEditorSave& editorSave();
  KXTagStore& tags();
  KXSyncRecords& records();
  KXIndexFeed& indexing();
  KXDataConversion& conversion();

 private:
  void installHooks();

  mutable kx::Mutex mu_;
  std::shared_ptr<KXDataContext> context_ GUARDED_BY(mu_);  // cleared by closeDB
  // The outcome of the first openStore, once it ran (0 not yet, 1 true,
  // 2 false).
  kx::Mutex openMu_;
  int opened_ GUARDED_BY(openMu_) = 0;

  std::unique_ptr<KXEntryReads> reads_;
  // Made first: it configures the search context the others rely on.
  std::unique_ptr<KXIndexFeed> indexing_;
  std::unique_ptr<KXEntryWrites> writes_;
  std::unique_ptr<KXStoreState> state_;
  std::unique_ptr<KXEditorSave> editorSave_;
  std::unique_ptr<KXTagStore> tags_;
  std::unique_ptr<KXSyncRecords> records_;
  std::unique_ptr<KXDataConversion> conversion_;
};

#endif  // ZN_DATA_KXDATACLIENT_H_
