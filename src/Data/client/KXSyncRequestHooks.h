// KXSyncRequestHooks is how the note store asks the sync engine for a sync.
// The store sits below the sync engine and must not include its headers, so
// the two requests it makes are functions that the sync engine installs
// (KXSyncManager::installSyncRequestHooks, called when the manager is made
// and by the program at start):
//
//  - syncByManual(): asks for one sync, which the manager queues or merges
//    with one already waiting;
//  - didAfterSync(block): keeps the block for the end of the next sync
//    (success or failure), then calls it once on the main queue.
//
// Without installed functions there is no sync engine to ask: syncByManual()
// logs and does nothing, and didAfterSync() calls the block at once on the
// calling thread, since no sync will end for it to wait for.
//
// Thread safety: every member may be called from any thread. The installed
// functions are guarded by an internal mutex, copied out and called without
// it.
#ifndef ZN_DATA_KXSYNCREQUESTHOOKS_H_
#define ZN_DATA_KXSYNCREQUESTHOOKS_H_

#include <functional>

class KXSyncRequestHooks {
 public:
  using SyncRequest = std::function<void()>;
  using AfterSyncRequest = std::function<void(std::function<void()> block)>;

  KXSyncRequestHooks() = delete;

  static void install(SyncRequest syncByManual, AfterSyncRequest didAfterSync);
  // Whether the sync engine has installed its functions.
  static bool isInstalled();

  static void syncByManual();
  static void didAfterSync(std::function<void()> block);

  // Removes the installed functions.
  static void resetForTesting();
};

#endif  // ZN_DATA_KXSYNCREQUESTHOOKS_H_
