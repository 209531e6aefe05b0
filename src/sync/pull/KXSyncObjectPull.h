// KXSyncObjectPull is one download the metadata pull starts after it has
// applied a batch: the body, resources or publish link of one entry (the
// object puller builds these). The pull starts each once and waits for all
// of them before it reports success; a failed one goes to the pull-failure
// list so that later pulls offer the entry again.
//
// Thread safety: pullWithCallback and clearEnvironment may be called from any
// thread; `done` is called exactly once, on any thread, unless the puller
// was cleared first (then it may never be called).
#ifndef ZN_SYNC_KXSYNCOBJECTPULL_H_
#define ZN_SYNC_KXSYNCOBJECTPULL_H_

#include <functional>
#include <string>

#include "platform/Error.h"

class KXSyncObjectPull {
 public:
  virtual ~KXSyncObjectPull() = default;

  // The entry's file id (the one the pulled entry had).
  virtual std::string fileId() const = 0;
  // Starts the download; `done` gets an empty error on success.
  virtual void pullWithCallback(std::function<void(const kx::Error& error)> done) = 0;
  // Stops the download's requests.
  virtual void clearEnvironment() {}
};

#endif  // ZN_SYNC_KXSYNCOBJECTPULL_H_
