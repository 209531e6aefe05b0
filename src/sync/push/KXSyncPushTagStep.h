// KXSyncPushTagStep is the first step of every push: the tags changed here
// go to the service before the entries. The tag sync fills it by installing
// its own step; until then the installed step ends at once. The push goes on
// whatever the step's outcome: a tag push failure does not stop the push.
//
// Thread safety: install() and installed() may be called from any thread;
// pushTags may be called from any thread and may call `done` on any thread,
// exactly once.
#ifndef ZN_SYNC_KXSYNCPUSHTAGSTEP_H_
#define ZN_SYNC_KXSYNCPUSHTAGSTEP_H_

#include <functional>
#include <memory>

class KXSyncPushTagStep {
 public:
  virtual ~KXSyncPushTagStep() = default;

  // Pushes the changed tags, then calls `done`.
  virtual void pushTags(std::function<void()> done) {
    if (done) done();
  }
  // Stops a running tag push; `done` is still called.
  virtual void clearEnvironment() {}

  // Makes `step` the one in use; nullptr puts the one that ends at once back.
  static void install(std::shared_ptr<KXSyncPushTagStep> step);
  static std::shared_ptr<KXSyncPushTagStep> installed();
};

#endif  // ZN_SYNC_KXSYNCPUSHTAGSTEP_H_
