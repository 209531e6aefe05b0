// KXSyncPen tracks the version of the user's smart-pen page list and keeps
// the latest pages of each pen book for the local pen-note handler.
//
//   startPull()   ignored while a pull runs; else up to three attempts of
//                 POST "/qrt/api/personal/sync/blepenbook?method=pull" with
//                 "baseVersion" (the stored version when 1 or more, else 0)
//                 and "sessionId" (the store's session version). Without a
//                 session version (before the first sync) nothing is sent.
//                 A reply with a positive "listVersion" stores its text
//                 under the user default "DBallPenNotePage" and posts
//                 "kKXNotificationNameListVersion" on the main queue (for
//                 every positive version, changed or not); any other JSON
//                 reply ends the pull; a failed request is tried again.
//   updatePageWithEntryId(id)
//                 the book's latest pages (POST "...?method=latestPages",
//                 "entryId"), waited for; a reply with "entryId" is kept in
//                 the dictionary under the user default
//                 "DBallPenNoteLatestPages", book id -> reply.
//   getAllPageWithEntryId(id)
//                 the kept reply of that book, or Null.
//
// The version and the pages live under two keys, so that storing one never
// destroys the other.
//
// Thread safety: every member may be called from any thread. Pull attempts
// run on the serial queue "com.zarvel.note.queue.pen"; mu_ guards the
// running state. updatePageWithEntryId blocks its caller for the request.
#ifndef ZN_SYNC_KXSYNCPEN_H_
#define ZN_SYNC_KXSYNCPEN_H_

#include <cstdint>
#include <string>

#include "platform/Mutex.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "platform/ThreadAnnotations.h"
#include "platform/Value.h"

class KXDataClient;

class KXSyncPen {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.pen";
  static constexpr const char* kPenPath = "/qrt/api/personal/sync/blepenbook";
  static constexpr const char* kListVersionKey = "DBallPenNotePage";
  static constexpr const char* kLatestPagesKey = "DBallPenNoteLatestPages";
  static constexpr const char* kListVersionNotification = "kKXNotificationNameListVersion";
  static constexpr int kMaxAttempts = 3;

  // The program's proxy, made on first use and never freed.
  static KXSyncPen& defaultProxy();

  // nullptr: the program's data client; "": KXServiceBaseURL; nullptr
  // centre: the default centre.
  explicit KXSyncPen(KXDataClient* client = nullptr, std::string serviceBaseURL = {},
                     kx::NotificationCenter* center = nullptr);
  KXSyncPen(const KXSyncPen&) = delete;
  KXSyncPen& operator=(const KXSyncPen&) = delete;

  void startPull();
  bool isPulling() const;
  void updatePageWithEntryId(const std::string& entryId);
  static kx::Value getAllPageWithEntryId(const std::string& entryId);

  // The stored list version; 0 when none.
  static std::int64_t storedListVersion();

  kx::SerialQueue& queue() { return queue_; }

 private:
  void pull();
  void endPull();
  KXDataClient& client();
  std::string baseURL() const;

  KXDataClient* const client_;
  const std::string serviceBaseURL_;
  kx::NotificationCenter* const center_;
  kx::SerialQueue queue_;

  mutable kx::Mutex mu_;
  std::int64_t retry_ GUARDED_BY(mu_) = 0;
  bool pulling_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXSYNCPEN_H_
