// KXWebEditorHandler serves a downloaded web editor's own files: requests
// on the service host whose path begins "/editor/collab/" are answered from
// the folder of the current editor version inside the editor directory
// ("<editor>/<version>/collab/..."), while a downloaded version is current.
// The path (decoded once) goes through KXContainedPath: "..", NUL, empty
// segments and anything outside the version's folder are refused (-1004).
//
// Answer: 200 with "Content-Type" (by extension: html, css, js, svg, gif,
// png; else sniffed from the bytes) and "Cache-Control" "max-age=2592000";
// a missing file gives an empty body. No type: -1004.
//
// The current version comes from the editor version provider, which the
// editor bundle updater (KXSyncEditor: checkDataEditor and
// getCurrentEditorVer) installs when it is made; until then no downloaded
// editor is current and nothing is accepted.
//
// Thread safety: both request methods may be called from any thread at
// once; the provider is read and replaced under a lock of its own.
#ifndef ZN_WEBREQUEST_KXWEBEDITORHANDLER_H_
#define ZN_WEBREQUEST_KXWEBEDITORHANDLER_H_

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "WebRequest/KXDataRequestDelegate.h"

class KXWebEditorHandler : public KXDataRequestDelegate {
 public:
  static constexpr long kCacheSeconds = 2592000;

  // The current downloaded editor version, nullopt while the built-in
  // editor is current.
  using VersionProvider = std::function<std::optional<std::string>()>;

  static KXWebEditorHandler& sharedHandler();
  // `version` null: the process's provider; `editorDirectory` null: the
  // file manager's editor directory.
  KXWebEditorHandler(VersionProvider version, std::function<std::string()> editorDirectory);

  static void setVersionProvider(VersionProvider provider);

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;

 private:
  std::optional<std::string> currentVersion() const;

  const VersionProvider version_;
  const std::function<std::string()> editorDirectory_;
  const std::map<std::string, std::string> types_;
};

#endif  // ZN_WEBREQUEST_KXWEBEDITORHANDLER_H_
