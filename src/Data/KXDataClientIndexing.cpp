// KXDataClient: feeding the full-text index, and the entries' side of a
// removed tag.
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/FileMeta.h"
#include "Data/KXDataClient.h"
#include "Data/KXDataClientInternal.h"
#include "Data/KXDataContext.h"
#include "Data/KXIndexFeed.h"
#include "search/KXSContext.h"

using namespace kx_data_client;

void KXDataClient::indexNotes(const kx::Array& docInfos, std::function<void()> done) {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  std::weak_ptr<KXDataContext> weak = data;
  if (!data->isOnWriteQueue()) {
    // What the caller indexes is stored already (or is no change of the
    // store's): handed over now.
    indexFeed_->submit(docInfos, weak, std::move(done));
    return;
  }
  // Called from a write block: the documents describe changes of the open
  // unit, and the index follows the store. They are handed over once the
  // save that holds the change has committed it; when the unit is rolled
  // back they are dropped, so the index keeps the text the store keeps.
  data->writeContext()->whenUnitEnds(
      [feed = indexFeed_, docInfos, done = std::move(done), weak](bool committed) {
        if (committed) {
          feed->submit(docInfos, weak, done);
          return;
        }
        KXLOG("%s", "index batch dropped: the save that held its change failed");
        if (!done) return;
        if (std::shared_ptr<KXDataContext> data = weak.lock()) {
          data->performWriteBlock([done](KXManagedObjectContext&) { done(); });
        }
      });
}

void KXDataClient::reloadIndexConfig() {
  KXSContext& context = KXSContext::sharedContext();
  context.setConfig(*this);
  context.setIsReload(!context.isReload());
}

std::string KXDataClient::contentForIndexContent(const std::string& /*content*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

void KXDataClient::updateFileMetaForDeletedTagId(const std::string& tagId) {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data || tagId.empty()) return;
  std::vector<KXObjectID> carriers;
  for (const KXFileMetaPtr& entry : objectsWithTagId(tagId, true)) {
    carriers.push_back(entry->objectID());
  }
  if (carriers.empty()) return;
  data->performWriteBlock([carriers, tagId](KXManagedObjectContext& context) {
    for (const KXObjectID& objectID : carriers) {
      KXManagedObjectPtr entry = context.existingObject(objectID);
      if (!entry) continue;
      // The entries were found by a text search, so "12" also found "123":
      // only whole elements equal to the id go.
      const std::string tags = entry->stringValue("tags");
      std::string kept;
      bool first = true;
      std::size_t start = 0;
      while (true) {
        std::size_t comma = tags.find(',', start);
        std::string element = tags.substr(start, comma - start);
        if (element != tagId) {
          if (!first) kept.push_back(',');
          kept += element;
          first = false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      kx::ignoreError(entry->setValue("tags", kx::Value(kept)));
    }
  });
}
