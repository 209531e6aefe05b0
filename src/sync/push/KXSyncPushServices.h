// KXSyncPushServices is what the push classes (KXSyncPushProxy,
// KXObjectPusher, KXMetaPusher) work with: the store, the service's address,
// the transfer controller their requests go through, the user interface for
// the one alert of a push, and the user default that names the editor
// files' version. Empty members take the program's: the data client of
// whoever is signed in, KXServiceBaseURL(), the push controller (width 3),
// the installed KXUIPort, the user default "editorversionformac".
//
// Thread safety: a plain value; resolved() may be called from any thread.
#ifndef ZN_SYNC_KXSYNCPUSHSERVICES_H_
#define ZN_SYNC_KXSYNCPUSHSERVICES_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>

class KXConcurrentController;
class KXDataClient;
class KXUIPort;

struct KXSyncPushServices {
  KXDataClient* client = nullptr;
  std::string serviceBaseURL;
  KXConcurrentController* controller = nullptr;
  std::shared_ptr<KXUIPort> ui;
  // The editor files' version; nullopt when the default is not set.
  std::function<std::optional<std::string>()> editorVersion;

  // A copy with every empty member set to the program's.
  KXSyncPushServices resolved() const;
};

#endif  // ZN_SYNC_KXSYNCPUSHSERVICES_H_
