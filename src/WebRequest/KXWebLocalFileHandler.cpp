#include "WebRequest/KXWebLocalFileHandler.h"

#include <optional>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "Data/client/KXFileManager.h"
#include "WebRequest/KXContainedPath.h"
#include "WebRequest/KXHandlerAnswer.h"
#include "WebRequest/KXLocalFileHost.h"
#include "WebRequest/KXURLError.h"
#include "platform/FileSystem.h"

KXWebLocalFileHandler& KXWebLocalFileHandler::sharedHandler() {
  static KXWebLocalFileHandler* handler = new KXWebLocalFileHandler(Environment{
      [] { return KXFileManager::defaultManauger().URLForApplicationDataDirectory(); },
      [] {
        KXFileManager& files = KXFileManager::defaultManauger();
        std::vector<std::string> folders{files.URLForBgImageFile()};
        const std::string user = files.URLForCurrentUserDataDirectory();
        if (!user.empty()) folders.push_back(user + "/" + KXFileManager::kIconImageDirectoryName);
        return folders;
      },
  });
  return *handler;
}

KXWebLocalFileHandler::KXWebLocalFileHandler(Environment environment)
    : env_(std::move(environment)) {}

bool KXWebLocalFileHandler::acceptRequest(const kx::URLRequest& request) const {
  return KXIsLocalFileURL(request.url());
}

std::string KXWebLocalFileHandler::fileForPath(const std::string& decodedPath) const {
  if (decodedPath.size() < 2 || decodedPath.front() != '/') return {};
  if (!KXContainedPath::segmentsAllowed(decodedPath)) return {};
  const std::string appData = env_.applicationDataDirectory ? env_.applicationDataDirectory() : "";
  if (appData.empty()) return {};
  std::optional<std::string> file = KXContainedPath::join(appData, decodedPath);
  if (!file) return {};
  for (const std::string& folder :
       env_.allowedFolders ? env_.allowedFolders() : std::vector<std::string>()) {
    if (folder.empty()) continue;
    // The folder's canonical form; the file must lie strictly inside it.
    std::optional<std::string> root = KXContainedPath::join(folder, "");
    if (root && file->size() > root->size() + 1 && file->compare(0, root->size(), *root) == 0 &&
        (*file)[root->size()] == '/') {
      return *file;
    }
  }
  return {};
}

void KXWebLocalFileHandler::handleRequest(const kx::URLRequest& request,
                                          std::shared_ptr<KXDataRequestController> sender) {
  const kx::URL& url = request.url();
  if (!KXIsLocalFileURL(url)) {
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
    return;
  }
  const std::string file = fileForPath(url.path());
  if (file.empty()) {
    KXLOG("local file refused: %s", url.absoluteString().c_str());
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
    return;
  }
  kx::Bytes bytes;
  kx::Error error;
  if (!kx::FileSystem::Default().readFile(file, &bytes, &error)) bytes.clear();
  KXHandlerAnswer::bytes(*sender, url, std::move(bytes));
}
