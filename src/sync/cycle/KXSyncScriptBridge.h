// KXSyncScriptBridge is what the sync engine asks of the script bridge and
// the editor while it syncs: which file the editor is changing (a pulled
// change of it is a conflict), a statistics event, a refresh of the open
// document view after a stored file changed, the editor bundle's version
// sent with downloads, and page events (a pushed Markdown file whose links
// now name the service's copies sends "mdResReplace" with its new text).
// The web view host installs its own when it is made; until then the
// installed bridge answers neutrally: nothing is being edited, no event, no
// refresh, version "0", no page event.
//
// Thread safety: install() and installed() may be called from any thread;
// so may the methods of the installed bridge.
#ifndef ZN_SYNC_KXSYNCSCRIPTBRIDGE_H_
#define ZN_SYNC_KXSYNCSCRIPTBRIDGE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Value.h"

class KXSyncScriptBridge {
 public:
  virtual ~KXSyncScriptBridge() = default;

  // The file id of the entry the editor is changing; "" when none.
  virtual std::string currentModifingFile() { return {}; }
  virtual void trackEvent(const std::string& event, std::int64_t value) {}
  // Asks the open document view to show the stored file again (main queue).
  virtual void refreshOffice() {}
  // The editor bundle's version.
  virtual std::string getEditorVersion() { return "0"; }
  // Sends the page event with its parameters to the open pages.
  virtual void broadCastWebAppWithEvent(const std::string& event, const kx::Array& params) {}

  // Makes `bridge` the one in use; nullptr puts the neutral one back.
  static void install(std::shared_ptr<KXSyncScriptBridge> bridge);
  static std::shared_ptr<KXSyncScriptBridge> installed();
};

#endif  // ZN_SYNC_KXSYNCSCRIPTBRIDGE_H_
