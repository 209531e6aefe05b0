// KXSyncUserMeta asks the note service for the user's meta record at the
// start of every sync cycle (and again after its push), and for the user's
// own profile ("self info") with its photo. It reports to its delegate, the
// cycle (KXSyncUserMetaDelegate).
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXSYNCUSERMETA_H_
#define ZN_SYNC_KXSYNCUSERMETA_H_

#include <atomic>
#include <memory>
#include <mutex>

#include "sync/KXSyncUserMetaDelegate.h"

class KXSyncUserMeta {
 public:
  KXSyncUserMeta() = default;
  virtual ~KXSyncUserMeta() = default;
  KXSyncUserMeta(const KXSyncUserMeta&) = delete;
  KXSyncUserMeta& operator=(const KXSyncUserMeta&) = delete;

  // Starts the user meta request; with `withSelf` the self info follows a
  // successful one.
  virtual void pull(bool withSelf);
  virtual void clearEnvironment();

  bool isCancelled() const { return isCancelled_.load(); }
  void setIsCancelled(bool cancelled) { isCancelled_.store(cancelled); }
  std::shared_ptr<KXSyncUserMetaDelegate> delegate() const;
  void setDelegate(std::weak_ptr<KXSyncUserMetaDelegate> delegate);

 private:
  std::atomic<bool> isCancelled_{false};
  mutable std::mutex mu_;
  std::weak_ptr<KXSyncUserMetaDelegate> delegate_;  // guarded by mu_
};

#endif  // ZN_SYNC_KXSYNCUSERMETA_H_
