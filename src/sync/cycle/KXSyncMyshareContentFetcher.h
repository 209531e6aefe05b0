// KXSyncMyshareContentFetcher asks the note service for the content of an
// entry shared with the user, for the my-share proxy (KXSyncMyshare) to
// index. The service talk belongs to the sync engine's share pulls, which
// install their fetcher on the proxy; until one is installed, shared
// entries that need the service stay unindexed.
//
// Thread safety: fetchContent may be called from any thread; the completion
// may run on any thread, once.
#ifndef ZN_SYNC_KXSYNCMYSHARECONTENTFETCHER_H_
#define ZN_SYNC_KXSYNCMYSHARECONTENTFETCHER_H_

#include <functional>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Value.h"

class KXSyncMyshareContentFetcher {
 public:
  // The entry's text, or nullopt and the error when it could not be had.
  using Completion =
      std::function<void(const std::optional<std::string>& content, const kx::Error& error)>;

  virtual ~KXSyncMyshareContentFetcher() = default;

  // Asks for the content of the shared entry `fileId` at `version` (Null
  // when the entry has none).
  virtual void fetchContent(const std::string& fileId, const kx::Value& version,
                            Completion completion) = 0;
};

#endif  // ZN_SYNC_KXSYNCMYSHARECONTENTFETCHER_H_
