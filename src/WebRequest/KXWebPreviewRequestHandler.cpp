#include "WebRequest/KXWebPreviewRequestHandler.h"

#include <utility>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/FileMeta.h"
#include "WebRequest/KXHandlerAnswer.h"
#include "WebRequest/KXURLError.h"
#include "WebRequest/KXWebRequestParameters.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Places.h"

namespace {

constexpr std::int64_t kURLErrorBadServerResponse = -1011;

bool isPreviewPath(const std::vector<std::string>& c) {
  return c.size() >= 4 && c[0] == "qrt" && c[1] == "api" && c[2] == "personal" && c[3] == "preview";
}

std::string frameScript() {
  std::string text;
  const std::string path = kx::Path::appendingPathComponent(
      kx::Path::appendingPathComponent(kx::Places::resourcesDirectory(), "UIResources.bundle"),
      "frame.js");
  kx::Error error;
  if (!kx::FileSystem::Default().readFile(path, &text, &error)) return {};
  return text;
}

kx::Bytes bytesOf(const std::string& text) { return kx::Bytes(text.begin(), text.end()); }

}  // namespace

KXWebPreviewRequestHandler& KXWebPreviewRequestHandler::sharedHandler() {
  static KXWebPreviewRequestHandler* handler = new KXWebPreviewRequestHandler();
  return *handler;
}

bool KXWebPreviewRequestHandler::acceptRequest(const kx::URLRequest& request) const {
  if (!pluginAvailable_) return false;
  const std::string path = request.url().path();
  return !path.empty() && isPreviewPath(KXWebRequestParameters::pathComponents(path));
}

std::string KXWebPreviewRequestHandler::escapeAttribute(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\r':
      case '\n':
      case '\0': break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string KXWebPreviewRequestHandler::previewPage(const std::string& script,
                                                    const std::string& filePath,
                                                    const std::string& mimeType) {
  // "</" would end the script element early.
  std::string safeScript;
  safeScript.reserve(script.size());
  for (std::size_t i = 0; i < script.size(); ++i) {
    if (script[i] == '<' && i + 1 < script.size() && script[i + 1] == '/') {
      safeScript += "<\\/";
      ++i;
    } else {
      safeScript += script[i];
    }
  }
  return "<html style=\"height: 100%; margin: 0;\"><body style=\"height: 100%; margin: 0;\">"
         "<script>" +
         safeScript + "</script><embed src=\"" + escapeAttribute(filePath) +
         "\" style=\"height: 100%; width: 100%;\" type=\"" + escapeAttribute(mimeType) +
         "\"></embed></body></html>";
}

void KXWebPreviewRequestHandler::previewFailed(const kx::URLRequest& request,
                                               KXDataRequestController& sender) {
  KXHandlerAnswer::bytes(sender, request.url(), bytesOf(kFailurePage));
}

void KXWebPreviewRequestHandler::handleRequest(const kx::URLRequest& request,
                                               std::shared_ptr<KXDataRequestController> sender) {
  std::vector<std::string> c = KXWebRequestParameters::pathComponents(request.url().path());
  if (!pluginAvailable_ || !isPreviewPath(c)) {
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
    return;
  }
  if (c.size() < 5) {
    KXHandlerAnswer::fail(*sender, kURLErrorBadServerResponse);
    return;
  }
  const std::string fileId = c[4];
  KXFileMetaPtr entry = KXDataClient::defaultDataClient().reads().objectForFileMetaID(fileId);
  if (!entry) {
    previewFailed(request, *sender);
    return;
  }
  KXFileManager& files = KXFileManager::defaultManauger();
  std::string file = files.URLForContentFile(fileId, false, entry->title());
  if (file.empty() || !kx::FileSystem::Default().exists(file)) {
    file = files.URLForContentFile(fileId, false);
  }
  files.copyResourceToTemp(
      kx::Value::dict({{"file", file}, {"title", entry->title()}, {"fileId", fileId}}));
  files.tempFileForResourceID(fileId, [this, request, sender](const std::string& copy) {
    if (copy.empty()) {
      previewFailed(request, *sender);
      return;
    }
    KXHandlerAnswer::bytes(*sender, request.url(),
                           bytesOf(previewPage(frameScript(), copy, kPreviewMimeType)));
  });
}
