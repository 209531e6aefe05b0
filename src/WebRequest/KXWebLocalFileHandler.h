// KXWebLocalFileHandler answers every request on the local-file origin
// (KXLocalFileHost, compared exactly: scheme, host, no port but 443) with a
// file of the application data directory: the URL's path, decoded once,
// below that directory. Only files inside the allowed folders are served:
// the paper backgrounds and the current user's icon images. A path with a
// ".." segment, a NUL, an empty segment, or one that leaves the allowed
// folders (also through a symbolic link) is refused with -1000.
//
// A served file is answered 200 with its bytes (no type); a missing or
// unreadable file inside an allowed folder with an empty body.
//
// Thread safety: no state besides the environment; both request methods
// may be called from any thread at once.
#ifndef ZN_WEBREQUEST_KXWEBLOCALFILEHANDLER_H_
#define ZN_WEBREQUEST_KXWEBLOCALFILEHANDLER_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "WebRequest/KXDataRequestDelegate.h"

class KXWebLocalFileHandler : public KXDataRequestDelegate {
 public:
  struct Environment {
    // The application data directory.
    std::function<std::string()> applicationDataDirectory;
    // The folders below it whose files may be served (absolute paths).
    std::function<std::vector<std::string>()> allowedFolders;
  };

  static KXWebLocalFileHandler& sharedHandler();
  explicit KXWebLocalFileHandler(Environment environment);

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;

  // The file a local-file URL path names, or "" when it is refused.
  std::string fileForPath(const std::string& decodedPath) const;

 private:
  const Environment env_;
};

#endif  // ZN_WEBREQUEST_KXWEBLOCALFILEHANDLER_H_
