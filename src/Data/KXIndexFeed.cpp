// KXIndexFeed: feeding the full-text index and configuring the search
// context.
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/FileMeta.h"
#include "Data/KXDataClient.h"
#include "Data/KXDataClientInternal.h"
#include "Data/KXDataContext.h"
#include "Data/KXFileManager.h"
#include "Data/KXIndexFeed.h"
#include "search/KXFTSDocument.h"
#include "search/KXSContext.h"
#include "search/KXSIndexProxy.h"
#include "search/KXSSearchProxy.h"

using namespace kx_data_client;

namespace {

// The text with a blank put before every run of characters above U+00FF,
// so that the analyzer sees such a run apart from the Latin word before it.
// Bytes that do not form UTF-8 are kept as they are.
std::string SpaceWideRuns(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  bool inWideRun = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    char32_t codePoint = lead;
    if (lead >= 0xC0 && lead < 0xE0) {
      length = 2;
      codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      length = 3;
      codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead < 0xF8) {
      length = 4;
      codePoint = lead & 0x07;
    }
    if (i + length > text.size()) length = 1;
    for (std::size_t k = 1; k < length; ++k) {
      codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    const bool wide = length > 1 && codePoint > 0xFF;
    if (wide && !inWideRun) out.push_back(' ');
    inWideRun = wide;
    out.append(text, i, length);
    i += length;
  }
  return out;
}

}  // namespace

KXIndexFeed::KXIndexFeed(KXDataClient& client) : client_(client) {
  KXSContext::sharedContext().setConfig(*this);
  ftsIndexer_ = KXSIndexProxy::create();
  ftsSearcher_ = &KXSSearchProxy::sharedProxy();
}

KXIndexFeed::~KXIndexFeed() = default;

void KXIndexFeed::indexNotes(const kx::Array& docInfos, std::function<void()> done) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  std::weak_ptr<KXDataContext> weak = data;
  std::shared_ptr<KXSIndexProxy> indexer = ftsIndexer_;
  std::weak_ptr<kx::SerialQueue> feedQueue = indexFeedQueue_;
  auto feed = [docInfos, indexer, weak, feedQueue](std::function<void()> done) {
    std::shared_ptr<kx::SerialQueue> queue = feedQueue.lock();
    if (!queue) return;  // the client is gone
    queue->async([docInfos, indexer, weak, done = std::move(done)]() mutable {
      KXSIndexProxy::Documents documents;
      std::vector<std::string> ids;
      for (const kx::Value& item : docInfos) {
        if (!item.isDictionary()) continue;
        const kx::Value* docID = item.dict().find("docID");
        const kx::Value* content = item.dict().find("docContent");
        if (!docID || docID->isNull() || !content || content->isNull()) continue;
        if (docID->stringValue().empty()) continue;
        std::string text = content->stringValue();
        if (text.empty()) continue;
        ids.push_back(docID->stringValue());
        documents.push_back(std::make_shared<KXFTSDocument>(ids.back(), SpaceWideRuns(text)));
      }
      // Marks the entries whose documents went in, and unmarks those whose
      // documents did not (the index may hold an older text of them, which
      // the rebuild then replaces); runs on the write queue.
      auto mark = [weak, ids, done = std::move(done)](const std::vector<bool>& indexed) {
        std::shared_ptr<KXDataContext> data = weak.lock();
        if (!data) return;
        data->performWriteBlock([ids, indexed, done](KXManagedObjectContext& context) {
          // Looked up here, in the write context: the change the document
          // follows is stored by now, and an entry gone by now is skipped.
          for (std::size_t i = 0; i < ids.size(); ++i) {
            const bool took = i < indexed.size() && indexed[i];
            KXManagedObjectPtr entry = FetchFirst(context, "FileMeta", "fileId = %@", {ids[i]});
            if (!entry) continue;
            if (took) {
              kx::ignoreError(entry->setValue("hasIndex", kx::Value(true)));
            } else if (!entry->value("hasIndex").isNull()) {
              kx::ignoreError(entry->setValue("hasIndex", kx::Value()));
            }
          }
          if (done) done();
        });
      };
      if (!indexer) {
        mark({});
        return;
      }
      indexer->submitDocuments(
          documents, [mark](const std::vector<bool>& indexed, const kx::Error& error) {
            if (error) KXLOG("index submission: %s", error.localizedDescription().c_str());
            mark(indexed);
          });
    });
  };
  if (!data->isOnWriteQueue()) {
    // What the caller indexes is stored already (or is no change of the
    // store's): handed over now.
    feed(std::move(done));
    return;
  }
  // Called from a write block: the documents describe changes of the open
  // unit, and the index follows the store. They are handed over once the
  // save that holds the change has committed it; when the unit is rolled
  // back they are dropped, so the index keeps the text the store keeps.
  data->writeContext()->whenUnitEnds([feed, done = std::move(done), weak](bool committed) {
    if (committed) {
      feed(done);
      return;
    }
    KXLOG("%s", "index batch dropped: the save that held its change failed");
    if (!done) return;
    if (std::shared_ptr<KXDataContext> data = weak.lock()) {
      data->performWriteBlock([done](KXManagedObjectContext&) { done(); });
    }
  });
}

void KXIndexFeed::reloadIndexConfig() {
  KXSContext& context = KXSContext::sharedContext();
  context.setConfig(*this);
  context.setIsReload(!context.isReload());
}

std::string KXIndexFeed::contentForIndexContent(const std::string& /*content*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

std::string KXIndexFeed::indexDirectory() const {
  return KXFileManager::defaultManauger().URLForCurrentUserFulltextInexDirectory();
}

std::string KXIndexFeed::indexStopWordsFile() const {
  return KXFileManager::defaultManauger().URLForFulltextStopWordsFile();
}
