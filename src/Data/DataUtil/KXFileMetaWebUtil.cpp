#include "Data/DataUtil/KXFileMetaWebUtil.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/DataUtil/KXNotebookUtil.h"
#include "Data/DataUtil/KXWebEntryNames.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXModel.h"
#include "account/KXSession.h"

namespace {

// A number that is the whole of `text` (blanks around it allowed) and
// finite; nullopt otherwise.
std::optional<double> wholeNumber(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// Width and height of an image size "<width>x<height>"; nullopt for any
// other form.
std::optional<std::pair<double, double>> imageDimensions(const std::string& imageSize) {
  std::size_t x = imageSize.find('x');
  if (x == std::string::npos || imageSize.find('x', x + 1) != std::string::npos)
    return std::nullopt;
  std::optional<double> width = wholeNumber(std::string_view(imageSize).substr(0, x));
  std::optional<double> height = wholeNumber(std::string_view(imageSize).substr(x + 1));
  if (!width || !height) return std::nullopt;
  return std::make_pair(*width, *height);
}

// Shared empty values: a copy costs a reference count, not an allocation
// (whoever changes one gets storage of its own, copy on write).
const kx::Value& emptyString() {
  static const kx::Value* value = new kx::Value(std::string());
  return *value;
}
const kx::Value& emptyArray() {
  static const kx::Value* value = new kx::Value(kx::Array());
  return *value;
}
const kx::Value& emptyDictionary() {
  static const kx::Value* value = new kx::Value(kx::Dictionary());
  return *value;
}

// The keys every entry has, with their hashes.
struct Key {
  std::string text;
  std::uint32_t hash;
  explicit Key(const char* name) : text(name), hash(kx::Dictionary::hashKey(text)) {}
};
struct Keys {
  Key entryProps{"entryProps"}, tags{"tags"}, userId{"userId"}, subTreeDirNum{"subTreeDirNum"},
      id{"id"}, domain{"domain"}, dir{"dir"}, metaProps{"metaProps"}, resources{"resources"},
      author{"author"}, sourceURL{"sourceURL"}, fileEntry{"fileEntry"}, fileMeta{"fileMeta"},
      otherProp{"otherProp"};
};
const Keys& keys() {
  static const Keys* all = new Keys();
  return *all;
}

// The attributes of a resource that its entry reports.
struct ResourceAttributes {
  const KXAttributeDescription* fileId = nullptr;
  const KXAttributeDescription* mediaType = nullptr;
  const KXAttributeDescription* version = nullptr;
  const KXAttributeDescription* imageSize = nullptr;
};
const ResourceAttributes& resourceAttributes() {
  static const ResourceAttributes* all = [] {
    auto* a = new ResourceAttributes();
    if (const KXEntityDescription* resource = KXModel::shared().entity("Resource")) {
      a->fileId = resource->attribute("fileId");
      a->mediaType = resource->attribute("meidaType");
      a->version = resource->attribute("version");
      a->imageSize = resource->attribute("imageSize");
    }
    return a;
  }();
  return *all;
}

kx::Value thumbnail(const std::string& resourceId) {
  return kx::Value::dict({{"thmv", "thmv"}, {"thmid", resourceId}});
}

std::string lastPathComponent(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  if (trimmed == "/") return trimmed;
  std::size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace

KXFileMetaWebUtil& KXFileMetaWebUtil::sharedHandler() {
  static KXFileMetaWebUtil* util = new KXFileMetaWebUtil(KXDataClient::defaultDataClient());
  return *util;
}

kx::Dictionary KXFileMetaWebUtil::metaOfFileMeta(const std::shared_ptr<KXManagedObject>& object) {
  auto entry = std::dynamic_pointer_cast<FileMeta>(object);
  if (!entry) return {};
  kx::Dictionary record = entry->attributeValues();
  if (entry->shared()) {
    record.set("shared", true);
    if (std::optional<std::string> url = entry->shareUrl()) record.set("shareUrl", *url);
  }
  return record;
}

void KXFileMetaWebUtil::resourceInfoForObject(const std::shared_ptr<KXManagedObject>& object,
                                              kx::Dictionary& meta) {
  std::vector<KXStoredRow> rows;
  if (auto entry = std::dynamic_pointer_cast<FileMeta>(object)) {
    for (const std::shared_ptr<Resource>& resource : entry->resources()) {
      if (resource) rows.push_back(resource->storedRow());
    }
  }
  std::vector<const KXStoredRow*> resources;
  resources.reserve(rows.size());
  for (const KXStoredRow& row : rows) resources.push_back(&row);
  Related info = resourceInfo(resources);
  if (info.thumbnailId) meta.set("metaProps", thumbnail(*info.thumbnailId));
  meta.set("resources", std::move(info.resources));
}

KXFileMetaWebUtil::Related KXFileMetaWebUtil::resourceInfo(
    const std::vector<const KXStoredRow*>& resources) {
  Related related;
  if (resources.empty()) {
    related.resources = emptyArray();
    return related;
  }
  const ResourceAttributes& a = resourceAttributes();
  kx::Array infos;
  infos.reserve(resources.size());
  double bestArea = 0;
  std::string bestId;
  bool chosen = false;
  for (const KXStoredRow* resource : resources) {
    std::string resourceId = a.fileId ? resource->value(*a.fileId).stringValue() : std::string();
    std::string mediaType =
        a.mediaType ? resource->value(*a.mediaType).stringValue() : std::string();
    kx::Dictionary info;
    info.reserve(3);
    info.set("resourceId", resourceId);
    info.set("version",
             static_cast<long long>(a.version ? resource->value(*a.version).intValue() : 0));
    if (std::optional<std::int64_t> type = Resource::resourceTypeFromName(mediaType)) {
      info.set("resourceType", static_cast<long long>(*type));
    }
    infos.push_back(kx::Value(std::move(info)));

    std::string imageSize =
        a.imageSize ? resource->value(*a.imageSize).stringValue() : std::string();
    if (imageSize.empty() || mediaType != "image") continue;
    std::optional<std::pair<double, double>> size = imageDimensions(imageSize);
    if (!size) {
      KXLOG("resource %s has an image size of unexpected form \"%s\"; not a thumbnail",
            resourceId.c_str(), imageSize.c_str());
      continue;
    }
    auto [width, height] = *size;
    if (width < kThumbnailMinWidth || height < kThumbnailMinHeight) continue;
    double area = width * height;
    if (area > bestArea || (area == bestArea && resourceId > bestId)) {
      bestArea = area;
      bestId = resourceId;
      chosen = true;
    }
  }
  if (chosen) related.thumbnailId = std::move(bestId);
  related.resources = kx::Value(std::move(infos));
  return related;
}

void KXFileMetaWebUtil::inPlace(const std::function<void()>& block) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (data && data->isOnWriteQueue()) {
    block();
  } else {
    client_.reads().performSyncReadBlock(block);
  }
}

std::vector<KXFileMetaWebUtil::Related> KXFileMetaWebUtil::readRelated(
    const std::vector<KXStoredRow>& rows) {
  std::vector<Related> related(rows.size());
  const KXEntityDescription* fileMeta = KXModel::shared().entity("FileMeta");
  const KXRelationshipDescription* resourcesOf =
      fileMeta ? fileMeta->relationship("resources") : nullptr;
  const KXRelationshipDescription* linkOf =
      fileMeta ? fileMeta->relationship("shareLinkInfo") : nullptr;
  // The rows of each context they were read in (a listing's rows share
  // one), entries only.
  std::vector<std::pair<std::shared_ptr<KXManagedObjectContext>, std::vector<std::size_t>>> groups;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!fileMeta || !rows[i].entity || !rows[i].entity->isKindOfEntity(*fileMeta)) continue;
    std::shared_ptr<KXManagedObjectContext> context = rows[i].context.lock();
    if (!context) continue;
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const auto& g) { return g.first == context; });
    if (group == groups.end()) {
      group = groups.emplace(groups.end(), std::move(context), std::vector<std::size_t>());
      group->second.reserve(rows.size());
    }
    group->second.push_back(i);
  }
  for (const auto& [context, members] : groups) {
    // Every member's resources with one query.
    std::vector<std::pair<std::int64_t, KXStoredRow>> resources;
    if (resourcesOf) {
      std::vector<std::int64_t> keys;
      keys.reserve(members.size());
      for (std::size_t i : members) keys.push_back(rows[i].key);
      kx::Error error;
      if (!context->relatedRows(*resourcesOf, keys, &resources, &error)) {
        KXLOG("reading the resources of %zu entries failed: %s", keys.size(),
              error.localizedDescription().c_str());
      }
    }
    std::unordered_map<std::int64_t, std::vector<const KXStoredRow*>> bySource;
    bySource.reserve(resources.size());
    for (const auto& [source, row] : resources) bySource[source].push_back(&row);
    static const std::vector<const KXStoredRow*> kNone;
    for (std::size_t i : members) {
      auto found = bySource.find(rows[i].key);
      related[i] = resourceInfo(found == bySource.end() ? kNone : found->second);
      // The share link, when the row names one that exists.
      const kx::Value& link =
          linkOf ? rows[i].values[static_cast<std::size_t>(linkOf->column())] : kx::Value::null();
      if (link.isNull()) continue;
      KXManagedObjectPtr object =
          context->existingObject(KXObjectID(&linkOf->destination().rootEntity(), link.intValue()));
      if (!object) continue;
      related[i].shared = true;
      if (!object->isNil("shareUrl")) related[i].shareUrl = object->stringValue("shareUrl");
    }
  }
  for (Related& r : related) {
    if (r.resources.isNull()) r.resources = emptyArray();
  }
  return related;
}

template <class Object>
void KXFileMetaWebUtil::readObjects(const std::vector<std::shared_ptr<Object>>& objects,
                                    std::vector<KXStoredRow>* rows, std::vector<Related>* related) {
  inPlace([&] {
    rows->reserve(objects.size());
    for (const std::shared_ptr<Object>& object : objects) {
      rows->push_back(object ? object->storedRow() : KXStoredRow());
    }
    *related = readRelated(*rows);
  });
}

std::optional<kx::Dictionary> KXFileMetaWebUtil::entryFromFileMeta(
    const std::shared_ptr<KXManagedObject>& object, bool entire) {
  std::vector<KXStoredRow> rows;
  std::vector<Related> related;
  readObjects(std::vector<std::shared_ptr<KXManagedObject>>{object}, &rows, &related);
  std::optional<Built> built = build(rows.front(), std::move(related.front()),
                                     kx::Value(KXSession::defaultSession().currentUser()));
  if (!built) return std::nullopt;
  if (!entire) return std::move(built->entry);
  kx::Dictionary both;
  both.reserve(2);
  both.set("entry", kx::Value(std::move(built->entry)));
  both.set("meta", kx::Value(std::move(built->meta)));
  return both;
}

std::optional<KXFileMetaWebUtil::Built> KXFileMetaWebUtil::build(const KXStoredRow& row,
                                                                 Related related,
                                                                 const kx::Value& userId) {
  const KXWebEntryNames* names = KXWebEntryNames::forEntity(row.entity);
  if (!names) return std::nullopt;
  const Keys& k = keys();
  Built built;
  kx::Dictionary& entry = built.entry;
  kx::Dictionary& meta = built.meta;
  // Each dictionary is sized once: for the names of the columns that have
  // a value, and what is added below (entryProps, tags, userId,
  // subTreeDirNum, domain and dir; metaProps, resources, author and
  // sourceURL).
  std::size_t entryCount = 0, metaCount = 0, propsCount = 0;
  auto count = [&](const KXWebEntryNames::Field& field) {
    entryCount += field.entry.present;
    metaCount += field.meta.present;
    propsCount += field.props.present;
  };
  for (const KXWebEntryNames::Field& field : names->fields()) {
    if (!row.values[static_cast<std::size_t>(field.column)].isNull()) count(field);
  }
  if (related.shared) {
    count(names->shared());
    count(names->shareUrl());
  }
  entry.reserve(entryCount + 6);
  meta.reserve(metaCount + 4);
  // The entry properties named by columns, in the row's order; they go
  // over the stored properties below.
  kx::Dictionary props;
  props.reserve(propsCount);
  auto write = [&](const KXWebEntryNames::Field& field, const kx::Value& value) {
    if (field.entry.present) entry.set(field.entry.text, field.entry.hash, value);
    if (field.meta.present) meta.set(field.meta.text, field.meta.hash, value);
    if (field.props.present) props.set(field.props.text, field.props.hash, value);
  };
  for (const KXWebEntryNames::Field& field : names->fields()) {
    const kx::Value& value = row.values[static_cast<std::size_t>(field.column)];
    if (value.isNull()) continue;
    if (value.isData()) {
      // Stored JSON (the entry properties) goes out as the object it holds;
      // bytes that do not parse go out as they are.
      kx::Value parsed = mutableObjectFromJSONData(value.bytes());
      write(field, parsed.isNull() ? value : parsed);
    } else {
      write(field, value);
    }
  }
  if (related.shared) {
    write(names->shared(), kx::Value(true));
    if (related.shareUrl) write(names->shareUrl(), kx::Value(std::move(*related.shareUrl)));
  }

  const kx::Value* stored = entry.find(k.entryProps.text, k.entryProps.hash);
  if (stored && stored->isDictionary()) {
    kx::Dictionary merged = stored->dict();
    merged.reserve(merged.size() + props.size());
    for (const auto& [key, value] : props) merged.set(key, value);
    props = std::move(merged);
  }
  entry.set(k.entryProps.text, k.entryProps.hash,
            props.empty() ? emptyDictionary() : kx::Value(std::move(props)));
  if (!entry.find(k.tags.text, k.tags.hash)) entry.set(k.tags.text, k.tags.hash, emptyString());
  entry.set(k.userId.text, k.userId.hash, userId);

  // The resources read with the row: "metaProps" when a thumbnail was
  // chosen (over a converted one), "resources" always.
  if (related.thumbnailId) {
    meta.set(k.metaProps.text, k.metaProps.hash, thumbnail(*related.thumbnailId));
  }
  meta.set(k.resources.text, k.resources.hash, std::move(related.resources));

  // The entity's kind and columns, from its names.
  auto column = [&row](int index) -> const kx::Value& {
    return index < 0 ? kx::Value::null() : row.values[static_cast<std::size_t>(index)];
  };
  const bool isNotebook = names->isNotebook();
  const bool isNote = names->isNote();
  const bool isNormalFile = names->isNormalFile();
  if (isNotebook) {
    const std::string fileId = column(names->fileIdColumn()).stringValue();
    entry.set(
        k.subTreeDirNum.text, k.subTreeDirNum.hash,
        static_cast<unsigned long long>(KXNotebookUtil::getSubDirNumOfNotebook(client_, fileId)));
  }
  if (const kx::Value* id = entry.find(k.id.text, k.id.hash);
      id && id->isString() && id->string().empty() && names->isFile() &&
      column(names->parentIdColumn()).stringValue() == KXDataClient::kAboveRootParentId) {
    entry.set(k.id.text, k.id.hash, KXDataClient::kRootFileId);
  }
  const kx::Value* domain = entry.find(k.domain.text, k.domain.hash);
  const kx::Value* dir = entry.find(k.dir.text, k.dir.hash);
  const bool bothNumbers = domain && dir && (domain->isNumber() || domain->isBool()) &&
                           (dir->isNumber() || dir->isBool());
  if (!bothNumbers) {
    if (isNote) {
      entry.set(k.domain.text, k.domain.hash, 0);
      entry.set(k.dir.text, k.dir.hash, false);
    } else if (isNotebook) {
      entry.set(k.domain.text, k.domain.hash, 1);
      entry.set(k.dir.text, k.dir.hash, true);
    } else if (isNormalFile) {
      entry.set(k.domain.text, k.domain.hash, 1);
      entry.set(k.dir.text, k.dir.hash, false);
    }
  }
  if (!meta.find(k.metaProps.text, k.metaProps.hash))
    meta.set(k.metaProps.text, k.metaProps.hash, emptyDictionary());
  if (!meta.find(k.author.text, k.author.hash)) meta.set(k.author.text, k.author.hash, kx::Value());
  if (!meta.find(k.sourceURL.text, k.sourceURL.hash))
    meta.set(k.sourceURL.text, k.sourceURL.hash, kx::Value());
  return built;
}

std::optional<kx::Dictionary> KXFileMetaWebUtil::fileDictFrom(
    const std::shared_ptr<KXManagedObject>& object, bool entire) {
  std::vector<KXStoredRow> rows;
  std::vector<Related> related;
  readObjects(std::vector<std::shared_ptr<KXManagedObject>>{object}, &rows, &related);
  return fileDict(rows.front(),
                  build(rows.front(), std::move(related.front()),
                        kx::Value(KXSession::defaultSession().currentUser())),
                  entire);
}

kx::Array KXFileMetaWebUtil::fileDictsFrom(const std::vector<std::shared_ptr<FileMeta>>& objects,
                                           bool entire) {
  std::vector<KXStoredRow> rows;
  std::vector<Related> related;
  readObjects(objects, &rows, &related);
  return fileDicts(rows, related, entire);
}

kx::Array KXFileMetaWebUtil::fileDictsFromRows(std::vector<KXStoredRow> rows, bool entire) {
  std::vector<Related> related;
  inPlace([&] { related = readRelated(rows); });
  return fileDicts(rows, related, entire);
}

kx::Array KXFileMetaWebUtil::fileDicts(std::vector<KXStoredRow>& rows,
                                       std::vector<Related>& related, bool entire) {
  // The session's user, read once for the whole batch.
  const kx::Value userId(KXSession::defaultSession().currentUser());
  kx::Array dicts;
  dicts.reserve(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (std::optional<kx::Dictionary> dict =
            fileDict(rows[i], build(rows[i], std::move(related[i]), userId), entire)) {
      dicts.push_back(kx::Value(std::move(*dict)));
    }
    // A row's values are freed as soon as its dictionary is made.
    std::vector<kx::Value>().swap(rows[i].values);
  }
  return dicts;
}

std::optional<kx::Dictionary> KXFileMetaWebUtil::fileDict(const KXStoredRow& row,
                                                          std::optional<Built> built, bool entire) {
  if (!built) return std::nullopt;
  if (!entire) return std::move(built->entry);
  const Keys& k = keys();
  kx::Dictionary file;
  file.reserve(3);
  file.set(k.fileEntry.text, k.fileEntry.hash, kx::Value(std::move(built->entry)));
  file.set(k.fileMeta.text, k.fileMeta.hash, kx::Value(std::move(built->meta)));
  kx::Dictionary other;
  const KXWebEntryNames* names = KXWebEntryNames::forEntity(row.entity);
  if (names && names->isFile()) {
    const int namePathColumn = names->namePathColumn();
    const std::string namePath =
        namePathColumn < 0 ? std::string()
                           : row.values[static_cast<std::size_t>(namePathColumn)].stringValue();
    if (!namePath.empty()) other.set("pn", lastPathComponent(namePath));
    if (row.parentName) other.set("parentName", *row.parentName);
  }
  file.set(k.otherProp.text, k.otherProp.hash, kx::Value(std::move(other)));
  return file;
}
