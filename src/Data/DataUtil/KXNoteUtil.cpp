#include "Data/DataUtil/KXNoteUtil.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXRegularExpression.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/KXSysUtil.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/DataUtil/KXResourceUtil.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/client/KXSyncRequestHooks.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/store/KXDataContext.h"
#include "platform/Error.h"
#include "platform/GlobalQueue.h"
#include "platform/Text.h"

namespace {

// The path components of a link to the service's web host ("//host/a/b",
// "http://host/a/b", "https://host/a/b"), without the leading "/"; nullopt
// for another host or scheme.
std::optional<std::vector<std::string>> serviceLinkComponents(std::string_view link) {
  std::string_view rest;
  for (std::string_view prefix : {"//", "http://", "https://"}) {
    if (link.substr(0, prefix.size()) == prefix) {
      rest = link.substr(prefix.size());
      break;
    }
  }
  if (rest.empty()) return std::nullopt;
  std::size_t end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, end);
  if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority = authority.substr(at + 1);
  }
  std::string_view host = authority.substr(0, authority.rfind(':'));
  if (host.empty() || kx::Text::asciiLower(host) != KXServiceHost()) return std::nullopt;
  if (end == std::string_view::npos || rest[end] != '/') return std::vector<std::string>{};
  std::string_view path = rest.substr(end + 1);
  path = path.substr(0, path.find_first_of("?#"));
  std::vector<std::string> components;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = path.find('/', start);
    components.emplace_back(path.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return components;
}

// Which rule of resource links the components meet: 1 "src/...", 2
// "web/x", 3 "qrt/res/...", 4 "qrt/public/resource..."; 0 for none.
int resourceRule(const std::vector<std::string>& c) {
  if (!c.empty() && c[0] == "src") return 1;
  if (c.size() == 2 && c[0] == "web") return 2;
  if (c.size() >= 3 && c[0] == "qrt" && c[1] == "res") return 3;
  if (c.size() >= 3 && c[0] == "qrt" && c[1] == "public" && c[2] == "resource") return 4;
  return 0;
}

int ruleOf(std::string_view link) {
  std::optional<std::vector<std::string>> components = serviceLinkComponents(link);
  return components ? resourceRule(*components) : 0;
}

// Arms the manual sync on the background queue.
void armManualSync(const std::shared_ptr<KXDelayClock>& clock) {
  kx::GlobalQueue::get(kx::QueuePriority::Default).async([clock] {
    clock->after(KXNoteUtil::kSyncDelaySeconds, kx::GlobalQueue::get(kx::QueuePriority::Background),
                 [] { KXSyncRequestHooks::syncByManual(); });
  });
}

}  // namespace

KXNoteUtil& KXNoteUtil::sharedUtil() {
  static KXNoteUtil* util = new KXNoteUtil(nullptr, nullptr, nullptr);
  return *util;
}

KXNoteUtil::KXNoteUtil(KXDataClient* client, std::shared_ptr<KXDelayClock> clock,
                       std::function<bool()> canConnect)
    : client_(client),
      clock_(clock ? std::move(clock) : KXDelayClock::systemClock()),
      canConnect_(canConnect ? std::move(canConnect)
                             : [] { return KXSysUtil::sharedUtil().canConnect(); }),
      // The task holds the clock only, so it never outlives what it uses.
      syncWindow_(KXDelayRunUtil::utilWithDelaySec(
          kSyncWindowSeconds,
          [clock = clock_](KXDelayRunUtil::Completion completion) {
            armManualSync(clock);
            if (completion) completion();
          },
          clock_)) {}

KXDataClient& KXNoteUtil::client() const {
  return client_ ? *client_ : KXDataClient::defaultDataClient();
}

bool KXNoteUtil::isResourceURL(std::string_view link) { return ruleOf(link) != 0; }

bool KXNoteUtil::isNativeResourceURL(std::string_view link) {
  int rule = ruleOf(link);
  return rule == 1 || rule == 3;
}

void KXNoteUtil::startSync() { syncWindow_->runWithCallback(nullptr); }

void KXNoteUtil::startSyncTask() { armManualSync(clock_); }

void KXNoteUtil::startSyncWithCallback(std::function<void()> completion) {
  if (!canConnect_()) {
    if (completion) completion();
    return;
  }
  KXSyncRequestHooks::didAfterSync(std::move(completion));
  startSync();
}

kx::Array KXNoteUtil::fullResDescFromReceivedContent(const std::optional<std::string>& html) {
  kx::Array descriptions;
  if (!html) return descriptions;
  static const std::optional<KXRegularExpression> rx = KXRegularExpression::make("<img([^>]+)>");
  if (!rx) return descriptions;
  const std::string text = kx::Text::toValidUtf8(*html);
  rx->enumerateMatches(text, [&](const KXRegularExpression::Match& match) {
    std::string origin(match.substring(text, 1).value_or(std::string_view()));
    kx::Dictionary description;
    description.set("attr", KXResourceUtil::attributesOfResourceTagData(origin));
    description.set("origin", std::move(origin));
    descriptions.push_back(kx::Value(std::move(description)));
    return true;
  });
  return descriptions;
}

kx::Array KXNoteUtil::resourceDescFromReceivedContent(const std::optional<std::string>& html) {
  kx::Array attributes;
  for (const kx::Value& description : fullResDescFromReceivedContent(html)) {
    attributes.push_back(description["attr"]);
  }
  return attributes;
}

std::string KXNoteUtil::replaceFileSize(std::string_view xml, std::string_view resourceId,
                                        const kx::Value& size) {
  // The id goes into the pattern and the size into a template: both are
  // escaped, so that an id such as "a.b" or "(x" and a size such as "$1"
  // stand for themselves.
  std::optional<KXRegularExpression> entry = KXRegularExpression::make(
      KXRegularExpression::escapedPattern(resourceId) +
          "</resource><filename>[\\s\\S]*?</filename><filelength>\\d*?</filelength>",
      KXRegularExpression::CaseInsensitive);
  static const std::optional<KXRegularExpression> length =
      KXRegularExpression::make("<filelength>\\d+</filelength>");
  if (!entry || !length) return std::string(xml);
  const std::string text = kx::Text::toValidUtf8(xml);
  const std::string lengthTemplate =
      "<filelength>" + KXRegularExpression::escapedTemplate(size.stringValue()) + "</filelength>";
  // Each entry of the resource keeps its own file name; only its length
  // changes.
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  bool matched = false;
  entry->enumerateMatches(text, [&](const KXRegularExpression::Match& match) {
    matched = true;
    const KXRegularExpression::ByteRange& whole = match.byteRanges[0];
    out.append(text, copied, whole.offset - copied);
    out += length->replacingMatches(std::string_view(text).substr(whole.offset, whole.length),
                                    lengthTemplate);
    copied = whole.offset + whole.length;
    return true;
  });
  // Text without the resource comes back as it was, even where it is not
  // valid UTF-8 (the matching sees a repaired copy).
  if (!matched) return std::string(xml);
  out.append(text, copied, std::string::npos);
  return out;
}

std::string KXNoteUtil::contentForRequestForNote(const std::string& fileId,
                                                 const std::vector<std::string>& resourceIds) {
  std::string content = KXFileManager::defaultManauger().readStringContentFileSync(fileId, false);
  for (const std::string& resourceId : resourceIds) {
    content = NSStringDupTitle::stringByReplacingUrlWithId(content, resourceId);
  }
  return content;
}

void KXNoteUtil::moveNotes(const std::vector<std::string>& fileIds,
                           const std::optional<std::string>& notebookId,
                           const KXDataCallback& callback) {
  if (!notebookId || fileIds.empty()) {
    kx::Array ids(fileIds.begin(), fileIds.end());
    if (callback) {
      callback(KXResultInfo::none(),
               kx::Error(kx::kCocoaErrorDomain, 2, kx::Value::dict({{kErrorPathKey, ids}})));
    }
    return;
  }
  client().writes().moveNotes(fileIds, *notebookId);
  if (callback) callback(KXResultInfo::none(), kx::Error());
}

void KXNoteUtil::deleteNotes(const std::vector<std::string>& fileIds,
                             const KXDataCallback& callback) {
  KXDataClient& data = client();
  std::vector<KXObjectID> objectIDs;
  std::vector<std::pair<KXObjectID, std::string>> purged;
  data.reads().performSyncReadBlock([&] {
    for (const std::string& fileId : fileIds) {
      KXFileMetaPtr entry = data.reads().objectForFileMetaID(fileId);
      if (!entry) continue;
      objectIDs.push_back(entry->objectID());
      // Already in the trash: this delete purges it, and its content goes
      // once that is saved.
      if (entry->boolValue("del")) purged.emplace_back(entry->objectID(), fileId);
    }
  });
  data.writes().deleteNotes(objectIDs, nullptr);
  if (std::shared_ptr<KXDataContext> context = data.dataContext(); context && !purged.empty()) {
    // Queued behind the delete, before any save can come between.
    context->performWriteBlock([&data, purged](KXManagedObjectContext& writeContext) {
      data.writes().removeContentFilesAfterSave(purged, writeContext);
    });
  }
  if (callback) callback(KXResultInfo::none(), kx::Error());
}

std::optional<std::string> KXNoteUtil::getNewEntryPath(std::string_view path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash < 1) {
    KXLOG("no folder in the entry path \"%s\"", std::string(path).c_str());
    return std::nullopt;
  }
  return "/" + std::string(path.substr(1, slash - 1)) + "/" + FileMeta::idForFileMeta();
}

std::string KXNoteUtil::getNewResourceID(const kx::Value& /*ignored*/) {
  return Resource::resourceFileID();
}

void KXNoteUtil::upateEntryShareUrl(const std::optional<std::string>& shareUrl,
                                    bool searchEngineEnable,
                                    const std::optional<std::string>& fileId) {
  if (!fileId) return;
  KXDataClient& data = client();
  data.records().updateShareInfo(shareUrl, searchEngineEnable, *fileId);
  data.state().performSave(nullptr);
}

std::optional<kx::Dictionary> KXNoteUtil::uncommitData() const {
  kx::MutexLock lock(mu_);
  return uncommitData_;
}

void KXNoteUtil::setUncommitData(std::optional<kx::Dictionary> data) {
  kx::MutexLock lock(mu_);
  uncommitData_ = std::move(data);
}

std::int64_t KXNoteUtil::modifyType() const {
  kx::MutexLock lock(mu_);
  return modifyType_;
}

void KXNoteUtil::setEncrypted(const kx::Value& encrypted) {
  kx::MutexLock lock(mu_);
  modifyType_ = kModifyTypeEncryption;
  if (!uncommitData_) return;
  kx::Dictionary content = (*uncommitData_)["content"].dict();
  content.set("encrypted", encrypted);
  uncommitData_->set("content", kx::Value(std::move(content)));
}

void KXNoteUtil::webView(const kx::Value& /*webView*/, const kx::Value& /*frame*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

void KXNoteUtil::updatePreviewForNote(const kx::Value& /*note*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

kx::Value KXNoteUtil::previewForNote(const kx::Value& /*note*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}
