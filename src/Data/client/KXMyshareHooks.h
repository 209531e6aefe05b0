// KXMyshareHooks is how the note store hands an entry shared with the user
// to the sync engine's my-share proxy for indexing. The store sits below the
// sync engine and must not include its headers, so the one request it makes
// is a function the sync engine installs (KXSyncMyshare::installIndexHook,
// called by the program at start):
//
//  - indexForFileInfo(info): takes a dictionary with "fileId", "title",
//    "domain" and "version" (built in that order, ending at the first
//    missing value) and indexes the entry, fetching its content from the
//    service when it needs to. Nothing is reported back: an entry that could
//    not be indexed keeps hasIndex nil and is offered again by the next
//    index rebuild.
//
// Without an installed function there is no my-share proxy to ask:
// indexForFileInfo() logs and leaves the entry unindexed.
//
// Thread safety: every member may be called from any thread. The installed
// function is guarded by an internal mutex, copied out and called without
// it.
#ifndef ZN_DATA_KXMYSHAREHOOKS_H_
#define ZN_DATA_KXMYSHAREHOOKS_H_

#include <functional>

#include "platform/Value.h"

class KXMyshareHooks {
 public:
  using IndexRequest = std::function<void(const kx::Dictionary& fileInfo)>;

  KXMyshareHooks() = delete;

  static void install(IndexRequest indexForFileInfo);
  // Whether the sync engine has installed its function.
  static bool isInstalled();

  static void indexForFileInfo(const kx::Dictionary& fileInfo);

  // Removes the installed function.
  static void resetForTesting();
};

#endif  // ZN_DATA_KXMYSHAREHOOKS_H_
