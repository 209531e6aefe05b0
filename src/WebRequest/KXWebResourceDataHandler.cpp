#include "WebRequest/KXWebResourceDataHandler.h"

#include <utility>
#include <vector>

#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/DataUtil/KXNoteUtil.h"
#include "Data/client/KXEntryReads.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "WebRequest/KXHandlerAnswer.h"
#include "WebRequest/KXURLError.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/HookTable.h"
#include "platform/Text.h"

namespace {

// The program's lookup (setPendingLookup).
auto& installedPending() {
  return kx::hookTableOf<KXWebResourceDataHandler, KXWebResourceDataHandler::PendingLookup>();
}

std::string lastPathComponent(const kx::URL& url) {
  std::vector<std::string> components = url.pathComponents();
  if (components.empty() || components.back() == "/") return {};
  return components.back();
}

}  // namespace

KXWebResourceDataHandler& KXWebResourceDataHandler::sharedHandler() {
  static KXWebResourceDataHandler* handler =
      new KXWebResourceDataHandler(KXDataClient::defaultDataClient(), KXDelayClock::systemClock());
  return *handler;
}

KXWebResourceDataHandler::KXWebResourceDataHandler(KXDataClient& client,
                                                   std::shared_ptr<KXDelayClock> clock,
                                                   PendingLookup pending, kx::Queue* queue)
    : client_(client),
      clock_(std::move(clock)),
      pending_(std::move(pending)),
      queue_(queue ? *queue : kx::GlobalQueue::get()) {}

void KXWebResourceDataHandler::setPendingLookup(PendingLookup lookup) {
  installedPending().install(std::move(lookup));
}

bool KXWebResourceDataHandler::isPending(const std::string& resourceId) const {
  if (pending_) return pending_(resourceId);
  PendingLookup lookup = installedPending().get<0>();
  return lookup && lookup(resourceId);
}

std::string KXWebResourceDataHandler::contentDisposition(const std::string& title) {
  std::string escaped;
  escaped.reserve(title.size());
  for (char c : title) {
    if (c == '\r' || c == '\n' || c == '\0') continue;
    if (c == '"' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return "filename=\"" + escaped + "\"";
}

bool KXWebResourceDataHandler::acceptRequest(const kx::URLRequest& request) const {
  const kx::URL& url = request.url();
  if (kx::Text::asciiLower(url.host()) != KXServiceHost()) return false;
  const std::string resourceId = lastPathComponent(url);
  if (resourceId.empty() || !KXNoteUtil::isResourceURL(url.absoluteString())) return false;
  return isPending(resourceId) || client_.reads().objectForResourceID(resourceId) != nullptr;
}

void KXWebResourceDataHandler::handleRequest(const kx::URLRequest& request,
                                             std::shared_ptr<KXDataRequestController> sender) {
  const std::string resourceId = lastPathComponent(request.url());
  if (resourceId.empty()) {
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
    return;
  }
  attempt(request.url(), resourceId, sender, 0, 0);
}

void KXWebResourceDataHandler::attempt(const kx::URL& url, const std::string& resourceId,
                                       const std::shared_ptr<KXDataRequestController>& sender,
                                       std::int64_t retry, int fileWaits) {
  std::shared_ptr<Resource> resource = client_.reads().objectForResourceID(resourceId);
  std::string path;
  std::string title;
  if (resource) {
    title = resource->title();
    if (std::shared_ptr<ResourceEntry> entry = resource->entry()) path = entry->file();
  }
  const bool ready = (resource || !isPending(resourceId)) && !path.empty() && !title.empty();
  if (!ready) {
    if (retry >= kMaxRetries) {
      KXHandlerAnswer::fail(*sender, KXURLErrorFileDoesNotExist);
      return;
    }
    clock_->after(kRetrySeconds, queue_, [this, url, resourceId, sender, retry] {
      attempt(url, resourceId, sender, retry + 1, 0);
    });
    return;
  }

  kx::FileSystem& fs = kx::FileSystem::Default();
  if (!fs.exists(path) && fileWaits < kMaxFileWaits) {
    // The file is still being written: look again shortly.
    clock_->after(kFileWaitSeconds, queue_, [this, url, resourceId, sender, retry, fileWaits] {
      attempt(url, resourceId, sender, retry, fileWaits + 1);
    });
    return;
  }
  kx::Bytes bytes;
  kx::Error error;
  if (!fs.readFile(path, &bytes, &error)) {
    KXHandlerAnswer::error(*sender, error);
    return;
  }
  kx::HTTPHeaderFields headers;
  headers.set("Cache-Control", "max-age=" + std::to_string(kCacheSeconds));
  headers.set("Content-Disposition", contentDisposition(title));
  KXHandlerAnswer::bytes(*sender, url, std::move(bytes), std::move(headers));
}
