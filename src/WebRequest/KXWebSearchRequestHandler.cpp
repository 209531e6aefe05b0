#include "WebRequest/KXWebSearchRequestHandler.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "Data/client/KXEntryReads.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Root.h"
#include "WebRequest/KXHandlerAnswer.h"
#include "WebRequest/KXURLError.h"
#include "WebRequest/KXWebRequestParameters.h"

namespace {

std::vector<std::string> splitOnBlanks(const std::string& text) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (true) {
    std::size_t blank = text.find(' ', start);
    words.push_back(text.substr(start, blank - start));
    if (blank == std::string::npos) break;
    start = blank + 1;
  }
  return words;
}

bool holdsAnyWord(const std::string& text, const std::vector<std::string>& words) {
  if (text.empty()) return false;
  for (const std::string& word : words) {
    if (text.find(word) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

KXWebSearchRequestHandler& KXWebSearchRequestHandler::sharedHandler() {
  static KXWebSearchRequestHandler* handler = new KXWebSearchRequestHandler(
      KXDataClient::defaultDataClient(), KXFileMetaWebUtil::sharedHandler());
  return *handler;
}

KXWebSearchRequestHandler::KXWebSearchRequestHandler(KXDataClient& client,
                                                     KXFileMetaWebUtil& webUtil, Searcher searcher)
    : client_(client), webUtil_(webUtil), searcher_(std::move(searcher)) {}

bool KXWebSearchRequestHandler::acceptRequest(const kx::URLRequest& request) const {
  std::vector<std::string> c = KXWebRequestParameters::pathComponents(request.url().path());
  return c.size() >= 4 && c[0] == "qrt" && c[1] == "api" && c[2] == "personal" && c[3] == "search";
}

void KXWebSearchRequestHandler::handleRequest(const kx::URLRequest& request,
                                              std::shared_ptr<KXDataRequestController> sender) {
  const kx::URL url = request.url();
  KXWebRequestParameters::Parsed parsed = KXWebRequestParameters::parse(request);
  if (parsed.method != "webSearch") {
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
    return;
  }
  const kx::Dictionary& params = parsed.params;

  Page page;
  const kx::Value* kw = params.find("kw");
  page.keyword = kw ? kw->stringValue() : std::string();
  std::replace(page.keyword.begin(), page.keyword.end(), '+', ' ');
  std::string folder;
  if (const kx::Value* parentId = params.find("parentId")) {
    folder = parentId->stringValue();
  } else if (std::shared_ptr<Root> root = client_.reads().rootEntry()) {
    folder = root->fileId();
  }
  const kx::Value* b = params.find("b");
  page.begin = b ? std::max<std::int64_t>(0, b->intValue()) : 0;
  const kx::Value* l = params.find("l");
  page.limit =
      l ? std::max<std::int64_t>(0, l->intValue()) : std::numeric_limits<std::int64_t>::max();
  const kx::Value* entire = params.find("entire");
  page.entire = entire ? entire->intValue() != 0 : true;

  std::shared_ptr<const Hits> reuse;
  {
    kx::MutexLock lock(mu_);
    const bool sameKey = hasLast_ && lastFolder_ == folder && lastKeyword_ == page.keyword;
    if (sameKey && lastBegin_ < page.begin) reuse = lastHits_;
    if (!sameKey) lastHits_.reset();
    hasLast_ = true;
    lastFolder_ = folder;
    lastKeyword_ = page.keyword;
    lastBegin_ = page.begin;
  }
  if (reuse) {
    answer(reuse, page, url, *sender);
    return;
  }

  auto done = [this, folder, page, url, sender](const KXResultInfo& info, const kx::Error& error) {
    if (error || !info.hasResult) {
      KXHandlerAnswer::fail(*sender, KXURLErrorResourceUnavailable);
      return;
    }
    KXFileMetaArray found;
    found.reserve(info.fetch.objects.size());
    for (const KXManagedObjectPtr& object : info.fetch.objects) {
      if (KXFileMetaPtr entry = std::dynamic_pointer_cast<FileMeta>(object)) {
        found.push_back(std::move(entry));
      }
    }
    auto [inFolder, encrypted] = client_.reads().objectsFilteredUnderFileId(folder, found);
    auto hits = std::make_shared<Hits>();
    hits->inFolder = std::move(inFolder);
    for (const KXFileMetaPtr& entry : encrypted) hits->marked.insert(entry->fileId());
    {
      kx::MutexLock lock(mu_);
      // Kept only while they still belong to the last request's key.
      if (hasLast_ && lastFolder_ == folder && lastKeyword_ == page.keyword) lastHits_ = hits;
    }
    answer(hits, page, url, *sender);
  };
  if (searcher_) {
    searcher_(page.keyword, std::move(done));
  } else {
    client_.reads().searchNotesWithKeyword(page.keyword, std::move(done));
  }
}

void KXWebSearchRequestHandler::answer(const std::shared_ptr<const Hits>& hits, const Page& page,
                                       const kx::URL& url, KXDataRequestController& sender) {
  const std::vector<std::string> words = splitOnBlanks(page.keyword);
  struct Key {
    KXFileMetaPtr entry;
    bool dir, inTitle, inSummary;
    std::int64_t modifyTime;
  };
  std::vector<Key> keys;
  keys.reserve(hits->inFolder.size());
  for (const KXFileMetaPtr& entry : hits->inFolder) {
    keys.push_back({entry, entry->dir(), holdsAnyWord(entry->title(), words),
                    holdsAnyWord(entry->summary(), words), entry->modifyTime()});
  }
  std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
    if (a.dir != b.dir) return a.dir;
    if (a.inTitle != b.inTitle) return a.inTitle;
    if (a.inSummary != b.inSummary) return a.inSummary;
    return a.modifyTime > b.modifyTime;
  });

  KXFileMetaArray shown;
  const std::uint64_t begin = static_cast<std::uint64_t>(page.begin);
  if (begin < keys.size()) {
    const std::uint64_t available = keys.size() - begin;
    const std::uint64_t take =
        std::min<std::uint64_t>(available, static_cast<std::uint64_t>(page.limit));
    for (std::uint64_t i = 0; i < take; ++i) {
      const KXFileMetaPtr& entry = keys[static_cast<std::size_t>(begin + i)].entry;
      if (!entry->del()) shown.push_back(entry);
    }
  }
  // The search gave every hit its parent's name already.

  // One conversion of the whole page (its resources read together).
  kx::Array entries = webUtil_.fileDictsFrom(shown, page.entire);
  if (!hits->marked.empty()) {
    for (kx::Value& converted : entries) {
      if (!converted.isDictionary() || !converted.contains("otherProp")) continue;
      if (!hits->marked.count(converted["fileEntry"]["id"].stringValue())) continue;
      kx::Dictionary entry = converted.dict();
      kx::Value other = entry["otherProp"];
      kx::Dictionary mark = other.isDictionary() ? other.dict() : kx::Dictionary();
      mark.set("inEncryptedFolder", "true");
      entry.set("otherProp", kx::Value(std::move(mark)));
      converted = kx::Value(std::move(entry));
    }
  }
  KXHandlerAnswer::json(sender, url,
                        kx::Value::dict({{"count", static_cast<long long>(hits->inFolder.size())},
                                         {"entries", kx::Value(std::move(entries))}}));
}
