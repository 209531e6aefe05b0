// KXSyncPullEnvironment is what the metadata pull (KXSyncPullProxy) asks of
// the rest of the client: the service's origin and reachability, the store's
// root version, full-pull flag and session version, the pull-failure list,
// saves, the conversion of service entries to the store's field names, and
// the applier that writes a batch into the store.
//
// Defaults: KXServiceBaseURL, KXSysUtil, the data client (root entry,
// flags, FailedInfo rows), a save of the write context, KXNameDict. The
// applier is the store's once it is installed (setDefaultApplier, by the
// code that builds it); until then there is none and a pull that has
// something to apply fails rather than dropping what it fetched.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXSYNCPULLENVIRONMENT_H_
#define ZN_SYNC_KXSYNCPULLENVIRONMENT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Value.h"
#include "sync/pull/KXSyncPullApplier.h"

class KXSyncPullEnvironment {
 public:
  virtual ~KXSyncPullEnvironment() = default;

  virtual std::string serviceBaseURL();
  virtual bool canConnect();

  // The root entry's version; 0 without one.
  virtual std::int64_t baseVersion();
  virtual bool isFullPulling();
  virtual void setCurrentSessionVersion(std::int64_t version);

  // The pull-failure list: entries (service form) still to be retried; one
  // more failure of a file id with its entry as JSON text; a success.
  virtual kx::Array fetchPullFailed();
  virtual void pullFailedFileId(const std::string& fileId, const std::string& entryJSON);
  virtual void deletePullFailedFileId(const std::string& fileId);

  // Saves the store; `done` runs once the save has ended, on any thread.
  virtual void save(std::function<void()> done);

  // A service entry in the store's field names; nullopt when it has no
  // "entry" object.
  virtual std::optional<kx::Dictionary> convert(const kx::Value& serviceEntry);

  // Starts the shared my-share pull (KXSyncMyshare::startPull).
  virtual void startMysharePull();

  // The applier of this pull; nullptr when none is installed.
  virtual std::shared_ptr<KXSyncPullApplier> applier();

  // The applier the default environment gives (nullptr: none).
  static void setDefaultApplier(std::shared_ptr<KXSyncPullApplier> applier);
};

#endif  // ZN_SYNC_KXSYNCPULLENVIRONMENT_H_
