// KXSyncState holds the sync engine's own flags about the run in progress:
// whether a first download after sign-in is under way and the version its
// entries take, whether a full pull is running, and the session version
// (the service's version the current cycle works against). The engine's
// pieces reach the program's one state through shared(); nothing below the
// sync layer reads it.
//
// Thread safety: every member may be called from any thread. The flags are
// atomics; the session version is guarded by mu_.
#ifndef ZN_SYNC_KXSYNCSTATE_H_
#define ZN_SYNC_KXSYNCSTATE_H_

#include <atomic>
#include <cstdint>

#include "platform/Mutex.h"
#include "platform/Value.h"

class KXSyncState {
 public:
  // The program's state, made on the first call and never freed.
  static KXSyncState& shared();

  KXSyncState() = default;
  KXSyncState(const KXSyncState&) = delete;
  KXSyncState& operator=(const KXSyncState&) = delete;

  bool isFirstLoginDownloading() const { return isFirstLoginDownloading_.load(); }
  void setIsFirstLoginDownloading(bool value) { isFirstLoginDownloading_.store(value); }
  bool isFullPulling() const { return isFullPulling_.load(); }
  void setIsFullPulling(bool value) { isFullPulling_.store(value); }
  // The root's version the first download hands out; -1 until it is known.
  std::int64_t tempVersionForFirstDownLoading() const {
    return tempVersionForFirstDownLoading_.load();
  }
  void setTempVersionForFirstDownLoading(std::int64_t value) {
    tempVersionForFirstDownLoading_.store(value);
  }
  // Null until a cycle sets it.
  kx::Value currentSessionVersion() const;
  void setCurrentSessionVersion(kx::Value version);

  // The version a note made by the editor takes while the store has no root
  // entry: the first download's version while one is under way, else -1.
  std::int64_t versionForNewEntryWithoutRoot() const;

 private:
  std::atomic<bool> isFirstLoginDownloading_{false};
  std::atomic<bool> isFullPulling_{false};
  std::atomic<std::int64_t> tempVersionForFirstDownLoading_{-1};
  mutable kx::Mutex mu_;
  kx::Value currentSessionVersion_ GUARDED_BY(mu_);
};

#endif  // ZN_SYNC_KXSYNCSTATE_H_
