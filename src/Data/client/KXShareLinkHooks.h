// KXShareLinkHooks is how the note store hands the sync engine the outcome
// of a push for the entry's share link: the service's answer for the entry
// (in the store's field names) and the stored entry, from which the sync
// engine copies the share state (KXFileMetaDetail::handleShareLink). The
// store sits below the sync engine and must not include its headers, so the
// step is a function that the sync engine installs
// (KXFileMetaDetail::installShareLinkHook, called by the program at start).
//
// Without an installed function nothing copies the share state: the call
// logs and does nothing.
//
// Thread safety: every member may be called from any thread. The installed
// function is guarded by an internal mutex, copied out and called without
// it.
#ifndef ZN_DATA_KXSHARELINKHOOKS_H_
#define ZN_DATA_KXSHARELINKHOOKS_H_

#include <functional>
#include <memory>

#include "platform/Value.h"

class FileMeta;
class KXDataClient;

class KXShareLinkHooks {
 public:
  // The client is the one whose entry was pushed; the entry may be null.
  using Handler = std::function<void(KXDataClient& client, const kx::Dictionary& answer,
                                     const std::shared_ptr<FileMeta>& localMeta)>;

  KXShareLinkHooks() = delete;

  static void install(Handler handler);
  static bool isInstalled();

  static void handleShareLink(KXDataClient& client, const kx::Dictionary& answer,
                              const std::shared_ptr<FileMeta>& localMeta);

  // Removes the installed function.
  static void resetForTesting();
};

#endif  // ZN_DATA_KXSHARELINKHOOKS_H_
