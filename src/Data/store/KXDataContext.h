// KXDataContext is the store stack of the signed-in user: it opens the
// user's store file "ZarvelNote.db" (KXPersistentStore) and owns the two
// serial queues on which all store work runs, each with its own context:
//
//  - the write queue "com.zarvel.note.db.execute" with the write context;
//    every change of the store runs there (performWriteBlock);
//  - the read queue "com.zarvel.note.db.read" with the read context; every
//    read of committed data runs there (performSyncReadBlock).
//
// Every save posts kKXContextDidSaveNotification; the data context hears it
// synchronously, on the saving thread, and queues the merge of the saved
// changes into the read context on the read queue before the save returns,
// so a read queued after a save sees it. Waiting goes one way: the write
// queue may wait for the read queue, never the other way round.
//
// Opening follows the user's session: the application data directory is
// created when missing (a file in its place is reported); the anonymous
// store of "EmptyUser" is adopted by a user who signs in by another way than
// account and password and has content but no store yet; a store file that
// cannot be opened (not a database, corrupt, of another shape) is reported
// once, moved aside with its WAL files, and replaced by a new store, so the
// client keeps working. When no store can be opened at all, the contexts
// work without one (their fetches and saves fail) and the failure is
// reported once.
//
// The program uses defaultContext(), opened for the user current at its
// first use and never freed. Tests make their own with an environment.
//
// Thread safety: every member may be called from any thread, except that
// performSyncWriteBlock and refreshContext must not be called from the read
// queue (they wait for the write queue) and refreshContext not from the
// write queue either. Synchronous calls made from the queue they target run
// inline.
#ifndef ZN_DATA_KXDATACONTEXT_H_
#define ZN_DATA_KXDATACONTEXT_H_

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXStoreEnvironment.h"
#include "platform/Mutex.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"

class KXPersistentStore;

class KXDataContext {
 public:
  using Block = std::function<void(KXManagedObjectContext& context)>;

  static constexpr const char* kWriteQueueLabel = "com.zarvel.note.db.execute";
  static constexpr const char* kCleanQueueLabel = "com.zarvel.note.db.clean";
  static constexpr const char* kReadQueueLabel = "com.zarvel.note.db.read";
  static constexpr const char* kStoreFileName = "ZarvelNote.db";
  static constexpr const char* kAnonymousUser = "EmptyUser";

  // The program's stack, opened on first use with the default environment.
  static KXDataContext& defaultContext();

  explicit KXDataContext(std::shared_ptr<KXStoreEnvironment> environment);
  // Stops listening for saves and lets both queues finish their work.
  ~KXDataContext();
  KXDataContext(const KXDataContext&) = delete;
  KXDataContext& operator=(const KXDataContext&) = delete;

  // Queues the block on the write queue; it runs with the write context of
  // that moment. An empty block is queued and does nothing.
  void performWriteBlock(Block block);
  // The same, waiting until the block has run (inline on the write queue).
  void performSyncWriteBlock(const Block& block);
  // Queues the block on the read queue with the read context.
  void performReadBlock(Block block);
  // Runs the block on the read queue with the read context and waits;
  // inline when called on the read queue.
  void performSyncReadBlock(const Block& block);

  kx::SerialQueue& dbQueue() { return writeQueue_; }
  kx::SerialQueue& cleanQueue() { return cleanQueue_; }
  kx::SerialQueue& readQueue() { return readQueue_; }
  // Whether the calling thread runs a task of the queue (the platform's
  // queue-specific keys).
  bool isOnReadQueue() const { return readQueue_.isCurrent(); }
  bool isOnWriteQueue() const { return writeQueue_.isCurrent(); }

  // The contexts of this moment (refreshContext replaces them). Use each
  // only on its queue, or for reading values of its objects.
  std::shared_ptr<KXManagedObjectContext> readContext() const;
  std::shared_ptr<KXManagedObjectContext> writeContext() const;
  // Makes `context` the write context: blocks queued on the write queue
  // from then on run with it. A null context, or one that cannot write (a
  // read context), is refused with a log line and false.
  bool setWriteContext(std::shared_ptr<KXManagedObjectContext> context);

  bool needRefresh() const { return needRefresh_.load(); }
  void setNeedRefresh(bool needRefresh) { needRefresh_.store(needRefresh); }
  // When marked, opens the store of the user current now (a new, empty one
  // after the user's directory was wiped) and replaces both contexts.
  void refreshContext();

  // The open store's file, or "" when no store could be opened.
  std::string storePath() const;
  // The user whose store was opened last (the session's user of that
  // moment), also when opening failed.
  std::string storeUserId() const;
  // What the stack was made with: who is signed in, where data lives.
  const std::shared_ptr<KXStoreEnvironment>& environment() const { return environment_; }

 private:
  std::shared_ptr<KXPersistentStore> openStore();
  void checkApplicationDataDirectory();
  void adoptAnonymousStore(const std::string& userDirectory);
  void presentOpenError(const kx::Error& cause);

  std::shared_ptr<KXStoreEnvironment> environment_;
  std::atomic<bool> needRefresh_{false};

  mutable kx::Mutex mutex_;
  std::shared_ptr<KXPersistentStore> store_ GUARDED_BY(mutex_);
  std::string storeUserId_ GUARDED_BY(mutex_);
  std::shared_ptr<KXManagedObjectContext> writeContext_ GUARDED_BY(mutex_);
  std::shared_ptr<KXManagedObjectContext> readContext_ GUARDED_BY(mutex_);

  kx::NotificationCenter::Token didSaveObserver_ = 0;

  // Declared last: destroyed first, so that their remaining tasks run while
  // the contexts still exist.
  kx::SerialQueue writeQueue_{kWriteQueueLabel};
  kx::SerialQueue cleanQueue_{kCleanQueueLabel};
  kx::SerialQueue readQueue_{kReadQueueLabel};
};

#endif  // ZN_DATA_KXDATACONTEXT_H_
