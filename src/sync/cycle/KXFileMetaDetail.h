// KXFileMetaDetail brings what the service answered for a pushed entry into
// the entry's details that the push itself does not write: its share link.
//
// handleShareLink(answer, localMeta), with the answer in the store's field
// names and the stored entry (nothing happens without one):
//
//   answer "shared" | entry has a link | what happens
//   ----------------+------------------+-------------------------------------
//   true            | yes              | when the answer's "searchEngineEnable"
//                   |                  | (NO when absent) differs from the
//                   |                  | link's, the link takes it (same URL)
//   not true        | yes              | the link is removed
//   any             | no               | nothing (a pull brings a new link)
//
// The changes go through KXDataClient::updateShareInfo (queued on the write
// queue, not saved). The store reaches this step through KXShareLinkHooks,
// which installShareLinkHook points here.
//
// Thread safety: the functions may be called from any thread; they read the
// entry on the store's read queue and wait (inline when called there).
#ifndef ZN_SYNC_KXFILEMETADETAIL_H_
#define ZN_SYNC_KXFILEMETADETAIL_H_

#include <memory>

#include "platform/Value.h"

class FileMeta;
class KXDataClient;

class KXFileMetaDetail {
 public:
  KXFileMetaDetail() = delete;

  // With the program's data client.
  static void handleShareLink(const kx::Dictionary& answer,
                              const std::shared_ptr<FileMeta>& localMeta);
  // With the client that holds the entry.
  static void handleShareLink(const kx::Dictionary& answer,
                              const std::shared_ptr<FileMeta>& localMeta, KXDataClient& client);

  // Points the store's share-link step (KXShareLinkHooks) here. The program
  // calls this at start.
  static void installShareLinkHook();
};

#endif  // ZN_SYNC_KXFILEMETADETAIL_H_
