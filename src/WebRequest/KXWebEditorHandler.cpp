#include "WebRequest/KXWebEditorHandler.h"

#include <utility>
#include <vector>

#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/DataUtil/KXResourceUtil.h"
#include "Data/client/KXFileManager.h"
#include "WebRequest/KXContainedPath.h"
#include "WebRequest/KXHandlerAnswer.h"
#include "WebRequest/KXURLError.h"
#include "WebRequest/KXWebRequestParameters.h"
#include "platform/FileSystem.h"
#include "platform/HookTable.h"
#include "platform/Text.h"

namespace {

// The program's version provider (setVersionProvider).
auto& installedVersion() {
  return kx::hookTableOf<KXWebEditorHandler, KXWebEditorHandler::VersionProvider>();
}

constexpr std::string_view kEditorPrefix = "/editor/";

}  // namespace

KXWebEditorHandler& KXWebEditorHandler::sharedHandler() {
  static KXWebEditorHandler* handler = new KXWebEditorHandler(nullptr, nullptr);
  return *handler;
}

KXWebEditorHandler::KXWebEditorHandler(VersionProvider version,
                                       std::function<std::string()> editorDirectory)
    : version_(std::move(version)),
      editorDirectory_(std::move(editorDirectory)),
      types_{{"html", "text/html"},    {"css", "text/css"},  {"js", "application/octet-stream"},
             {"svg", "image/svg+xml"}, {"gif", "image/gif"}, {"png", "image/png"}} {}

void KXWebEditorHandler::setVersionProvider(VersionProvider provider) {
  installedVersion().install(std::move(provider));
}

std::optional<std::string> KXWebEditorHandler::currentVersion() const {
  VersionProvider provider = version_;
  if (!provider) provider = installedVersion().get<0>();
  std::optional<std::string> version = provider ? provider() : std::nullopt;
  // The version names one folder.
  if (!version || version->empty() || !KXContainedPath::segmentsAllowed(*version) ||
      version->find('/') != std::string::npos) {
    return std::nullopt;
  }
  return version;
}

bool KXWebEditorHandler::acceptRequest(const kx::URLRequest& request) const {
  const kx::URL& url = request.url();
  const std::string path = url.path();
  if (path.empty() || kx::Text::asciiLower(url.host()) != KXServiceHost()) return false;
  std::vector<std::string> c = KXWebRequestParameters::pathComponents(path);
  if (c.size() < 2 || c[0] != "editor" || c[1] != "collab") return false;
  return currentVersion().has_value();
}

void KXWebEditorHandler::handleRequest(const kx::URLRequest& request,
                                       std::shared_ptr<KXDataRequestController> sender) {
  const kx::URL& url = request.url();
  const std::string path = url.path();
  std::optional<std::string> version = currentVersion();
  const std::string root =
      editorDirectory_ ? editorDirectory_() : KXFileManager::defaultManauger().URLForEditorFile();
  if (!version || root.empty() || path.compare(0, kEditorPrefix.size(), kEditorPrefix) != 0) {
    KXHandlerAnswer::fail(*sender, KXURLErrorCannotConnectToHost);
    return;
  }
  // "/editor/collab/a.js" is "<version>/collab/a.js" in the editor folder,
  // and must stay inside "<editor>/<version>".
  std::optional<std::string> versionFolder = KXContainedPath::join(root, *version);
  std::optional<std::string> file =
      versionFolder ? KXContainedPath::join(*versionFolder, path.substr(kEditorPrefix.size() - 1))
                    : std::nullopt;
  if (!file) {
    KXHandlerAnswer::fail(*sender, KXURLErrorCannotConnectToHost);
    return;
  }
  kx::Bytes bytes;
  kx::Error error;
  if (!kx::FileSystem::Default().readFile(*file, &bytes, &error)) bytes.clear();

  std::optional<std::string> type;
  const std::size_t slash = file->find_last_of('/');
  const std::size_t dot = file->find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    auto known = types_.find(file->substr(dot + 1));
    if (known != types_.end()) type = known->second;
  }
  if (!type) type = KXResourceUtil::sharedUtil().mimetypeOfData(bytes.empty() ? nullptr : &bytes);
  if (!type) {
    KXHandlerAnswer::fail(*sender, KXURLErrorCannotConnectToHost);
    return;
  }
  kx::HTTPHeaderFields headers;
  headers.set("Content-Type", *type);
  headers.set("Cache-Control", "max-age=" + std::to_string(kCacheSeconds));
  KXHandlerAnswer::bytes(*sender, url, std::move(bytes), std::move(headers));
}
