// KXEntryReads: note lists and the keyword search.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "Data/DataUtil/KXResourceUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryReadsInternal.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/entities/ResourceEntry.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/LocalizedStrings.h"
#include "platform/URL.h"
#include "search/KXSSearchProxy.h"
#include "search/KXSearchQuery.h"

using namespace kx_data_client;

namespace {

// "2019-03": the year and month of a time in seconds, in local time.
std::string monthKey(std::int64_t seconds) {
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&time, &local);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%ld-%02ld", static_cast<long>(local.tm_year) + 1900,
                static_cast<long>(local.tm_mon) + 1);
  return buffer;
}

// Width times height of an image size "<width>x<height>"; nullopt for any
// other form (sizes come from the service and the page, not from us).
std::optional<double> imageArea(const std::string& imageSize) {
  std::size_t x = imageSize.find('x');
  if (x == std::string::npos || imageSize.find('x', x + 1) != std::string::npos) {
    return std::nullopt;
  }
  char* end = nullptr;
  std::string width = imageSize.substr(0, x);
  std::string height = imageSize.substr(x + 1);
  double w = std::strtod(width.c_str(), &end);
  if (width.empty() || *end != '\0') return std::nullopt;
  double h = std::strtod(height.c_str(), &end);
  if (height.empty() || *end != '\0') return std::nullopt;
  return w * h;
}

}  // namespace

void KXEntryReads::searchNotesWithKeyword(const std::string& keyword, KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client_->dataContext();
  if (!data) return;
  KXSearchQuery query(kx::Dictionary{{KXSearchQueryKeywordsKey, kx::Value(keyword)}});
  // The reads object may be a temporary; the client outlives the search.
  KXDataClient* client = client_;
  client->indexing().ftsSearcher().search(
      query, [client, data, callback = std::move(callback)](const KXSSearchResult& result,
                                                            const kx::Error& error) {
        if (error) KXLOG("search failed: %s", error.localizedDescription().c_str());
        std::vector<std::string> ids = result.docIDs().value_or(std::vector<std::string>{});
        data->performReadBlock(
            [client, ids = std::move(ids), callback](KXManagedObjectContext& context) {
              KXEntryReads reads = client->readsIn(&context);
              KXFileMetaArray kept;
              kept.reserve(ids.size());
              for (const std::string& id : ids) {
                KXFileMetaPtr entry = reads.objectForFileMetaID(id);
                if (entry && !entry->boolValue("del")) kept.push_back(std::move(entry));
              }
              reads.setParentNameForResult(kept);
              if (!callback) return;
              std::vector<KXManagedObjectPtr> objects(kept.begin(), kept.end());
              kx::GlobalQueue::get(kx::QueuePriority::Default)
                  .async([callback, objects = std::move(objects)]() mutable {
                    callback(KXResultInfo::withObjects(std::move(objects)), kx::Error());
                  });
            });
      });
}

bool KXEntryReads::filter(int kind, bool deleted) {
  switch (kind) {
    case kFilterLive: return !deleted;
    case kFilterAll: return true;
    case kFilterDeleted: return deleted;
    default: return false;
  }
}

kx::Array KXEntryReads::formatNoteList(const KXFileMetaArray& notes, int kind) {
  std::map<std::string, kx::Array> groups;  // ordered by month key
  KXResourceUtil& resources = KXResourceUtil::sharedUtil();
  for (const KXFileMetaPtr& note : notes) {
    if (!note || !filter(kind, note->boolValue("del")) || note->boolValue("remoteRemoved")) {
      continue;
    }
    const std::int64_t modifyTime = note->modifyTime();
    kx::Array& group = groups[monthKey(modifyTime)];

    std::string title = note->stringValue("title");
    if (title.empty()) title = kx::LocalizedStrings::localized("Empty Title.note");

    double bestArea = 0;
    std::shared_ptr<Resource> best;
    std::int64_t allResourcesSize = 0;
    std::vector<std::shared_ptr<Resource>> noteResources = note->resources();
    for (const std::shared_ptr<Resource>& resource : noteResources) {
      if (!resource) continue;
      allResourcesSize += resource->size();
      std::string imageSize = resource->imageSize();
      if (resource->meidaType() != "image" || imageSize.empty()) continue;
      std::optional<double> area = imageArea(imageSize);
      if (!area) {
        KXLOG("resource %s has an image size of unexpected form \"%s\"; left out",
              resource->fileId().c_str(), imageSize.c_str());
        continue;
      }
      if (*area > bestArea) {
        bestArea = *area;
        best = resource;
      }
    }
    kx::Value image(false);
    if (best) {
      std::string thumbnail =
          resources.fileURLForThumbnail({{"resourceID", kx::Value(best->fileId())}});
      if (!thumbnail.empty() && kx::FileSystem::Default().exists(thumbnail)) {
        image = kx::URL::fileURLWithPath(thumbnail).absoluteString();
      } else if (std::shared_ptr<ResourceEntry> entry = best->entry();
                 entry && !entry->isNil("file")) {
        image = kx::URL::fileURLWithPath(entry->file()).absoluteString();
      }
    }

    kx::Dictionary item;
    item.reserve(15);
    item.set("entryPath", note->fileId());
    for (const char* key : {"modifyTime", "createTime", "version", "size", "author", "sourceURL"}) {
      item.set(key, note->value(key));
    }
    item.set("summary", note->isNil("summary") ? std::string() : note->stringValue("summary"));
    item.set("title", title);
    item.set("sort", std::to_string(modifyTime));
    item.set("image", image);
    item.set("resourceCount", static_cast<long long>(noteResources.size()));
    item.set("allResourcesSize", static_cast<long long>(allResourcesSize));
    item.set("del", note->value("del"));
    item.set("isShared", note->shared());
    item.set("encrypted", note->value("encrypted"));
    group.push_back(kx::Value::dict({{"content", kx::Value(std::move(item))}}));
  }

  kx::Array list;
  list.reserve(groups.size());
  for (auto& [month, children] : groups) {
    char title[64];
    std::snprintf(title, sizeof title, "%s-%ld", month.c_str(), static_cast<long>(children.size()));
    kx::Dictionary group;
    group.set("content", kx::Value::dict({{"title", title}, {"sort", month}}));
    group.set("children", kx::Value(std::move(children)));
    list.push_back(kx::Value(std::move(group)));
  }
  return list;
}

KXFileMetaArray KXEntryReads::filterEncryptedNotebook(const KXFileMetaArray& metas) {
  KXFileMetaArray kept;
  kept.reserve(metas.size());
  for (const KXFileMetaPtr& meta : metas) {
    if (!meta) continue;
    KXFileMetaPtr parent = objectForFileMetaID(meta->parentId());
    if (parent && parent->boolValue("encrypted")) continue;
    kept.push_back(meta);
  }
  return kept;
}
