// KXIndexFeed: feeding the full-text index and configuring the search
// context.
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXIndexHandOver.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "search/KXSContext.h"
#include "search/KXSIndexProxy.h"
#include "search/KXSSearchProxy.h"

using namespace kx_data_client;

KXIndexFeed::KXIndexFeed(KXDataClient& client) : client_(client) {
  KXSContext::sharedContext().setConfig(*this);
  ftsIndexer_ = KXSIndexProxy::create();
  handOver_ = KXIndexHandOver::create(ftsIndexer_);
  ftsSearcher_ = &KXSSearchProxy::sharedProxy();
}

KXIndexFeed::~KXIndexFeed() {
  // What the client's saves handed over reaches the indexer, also what
  // still waits for the batch before it.
  handOver_->close();
}

void KXIndexFeed::indexNotes(const kx::Array& docInfos, std::function<void()> done) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  std::weak_ptr<KXDataContext> weak = data;
  if (!data->isOnWriteQueue()) {
    // What the caller indexes is stored already (or is no change of the
    // store's): handed over now.
    handOver_->submit(docInfos, weak, std::move(done));
    return;
  }
  // Called from a write block: the documents describe changes of the open
  // unit, and the index follows the store. They are handed over once the
  // save that holds the change has committed it; when the unit is rolled
  // back they are dropped, so the index keeps the text the store keeps.
  data->writeContext()->whenUnitEnds(
      [handOver = handOver_, docInfos, done = std::move(done), weak](bool committed) {
        if (committed) {
          handOver->submit(docInfos, weak, done);
          return;
        }
        KXLOG("%s", "index batch dropped: the save that held its change failed");
        if (!done) return;
        if (std::shared_ptr<KXDataContext> data = weak.lock()) {
          data->performWriteBlock([done](KXManagedObjectContext&) { done(); });
        }
      });
}

void KXIndexFeed::removeWhenCommitted(KXManagedObjectContext& context,
                                      KXSIndexProxy::Documents removals) {
  // The index follows the store: the documents go once the save that holds
  // the purge has committed it, and stay when it is rolled back. They go
  // through the hand-over, so that no document handed over before the purge
  // reaches the index after it.
  context.whenUnitEnds([handOver = handOver_, removals](bool committed) {
    if (!committed) {
      KXLOG("%s", "index removal dropped: the save that held the purge failed");
      return;
    }
    handOver->remove(removals);
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
