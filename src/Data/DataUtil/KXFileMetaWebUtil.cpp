#include "Data/DataUtil/KXFileMetaWebUtil.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/DataUtil/KXNotebookUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
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
  auto entry = std::dynamic_pointer_cast<FileMeta>(object);
  std::vector<std::shared_ptr<Resource>> resources;
  if (entry) resources = entry->resources();
  kx::Array infos;
  infos.reserve(resources.size());
  double bestArea = 0;
  std::string bestId;
  bool chosen = false;
  for (const std::shared_ptr<Resource>& resource : resources) {
    if (!resource) continue;
    kx::Dictionary info;
    info.reserve(3);
    std::string resourceId = resource->fileId();
    std::string mediaType = resource->meidaType();
    info.set("resourceId", resourceId);
    info.set("version", static_cast<long long>(resource->version()));
    if (std::optional<std::int64_t> type = Resource::resourceTypeFromName(mediaType)) {
      info.set("resourceType", static_cast<long long>(*type));
    }
    infos.push_back(kx::Value(std::move(info)));

    std::string imageSize = resource->imageSize();
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
  if (chosen) {
    meta.set("metaProps", kx::Value::dict({{"thmv", "thmv"}, {"thmid", bestId}}));
  }
  meta.set("resources", infos.empty() ? emptyArray() : kx::Value(std::move(infos)));
}

KXFileMetaWebUtil::Reading KXFileMetaWebUtil::read(const std::shared_ptr<KXManagedObject>& object) {
  Reading reading;
  reading.record = metaOfFileMeta(object);
  resourceInfoForObject(object, reading.resources);
  return reading;
}

void KXFileMetaWebUtil::inPlace(const std::function<void()>& block) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (data && data->isOnWriteQueue()) {
    block();
  } else {
    client_.reads().performSyncReadBlock(block);
  }
}

std::optional<kx::Dictionary> KXFileMetaWebUtil::entryFromFileMeta(
    const std::shared_ptr<KXManagedObject>& object, bool entire) {
  Reading reading;
  inPlace([&] { reading = read(object); });
  std::optional<Built> built =
      build(object, std::move(reading), kx::Value(KXSession::defaultSession().currentUser()));
  if (!built) return std::nullopt;
  if (!entire) return std::move(built->entry);
  kx::Dictionary both;
  both.reserve(2);
  both.set("entry", kx::Value(std::move(built->entry)));
  both.set("meta", kx::Value(std::move(built->meta)));
  return both;
}

std::optional<KXFileMetaWebUtil::Built> KXFileMetaWebUtil::build(
    const std::shared_ptr<KXManagedObject>& object, Reading reading, const kx::Value& userId) {
  // The record moves into a value (no copy) for the conversions.
  const kx::Value recordValue(std::move(reading.record));
  const kx::Dictionary& record = recordValue.dict();
  std::optional<kx::Dictionary> entry =
      KXNameDict::namesConvertFromLocalToRemote(recordValue, KXNameDict::kEntryNamespace);
  std::optional<kx::Dictionary> meta =
      KXNameDict::namesConvertFromLocalToRemote(recordValue, KXNameDict::kMetaNamespace);
  if (!entry || !meta) return std::nullopt;

  // Room for what is added below: entryProps, tags, userId, subTreeDirNum,
  // domain and dir; metaProps, resources, author and sourceURL.
  entry->reserve(entry->size() + 6);
  meta->reserve(meta->size() + 4);
  kx::Dictionary props;
  if (const kx::Value* own = entry->find("entryProps"); own && own->isDictionary()) {
    props = own->dict();
  }
  if (std::optional<kx::Dictionary> local = KXNameDict::namesConvertFromLocalToRemote(
          recordValue, KXNameDict::kEntryPropsNamespace)) {
    for (const auto& [key, value] : *local) props.set(key, value);
  }
  entry->set("entryProps", props.empty() ? emptyDictionary() : kx::Value(std::move(props)));
  if (!entry->contains("tags")) entry->set("tags", emptyString());
  entry->set("userId", userId);

  // The resources read with the record: "resources" always, "metaProps"
  // when a thumbnail was chosen (over a converted one).
  for (const auto& [key, value] : reading.resources) meta->set(key, value);

  auto file = std::dynamic_pointer_cast<FileMeta>(object);
  const bool isNotebook = object && object->isKindOfEntity("Notebook");
  const bool isNote = object && object->isKindOfEntity("Note");
  const bool isNormalFile = object && object->isKindOfEntity("NormalFile");
  std::string fileId;
  std::string parentId;
  if (file) {
    fileId = record["fileId"].stringValue();
    parentId = record["parentId"].stringValue();
  }
  if (isNotebook) {
    entry->set("subTreeDirNum", static_cast<unsigned long long>(
                                    KXNotebookUtil::getSubDirNumOfNotebook(client_, fileId)));
  }
  if (const kx::Value* id = entry->find("id"); id && id->isString() && id->string().empty() &&
                                               parentId == KXDataClient::kAboveRootParentId) {
    entry->set("id", KXDataClient::kRootFileId);
  }
  const kx::Value* domain = entry->find("domain");
  const kx::Value* dir = entry->find("dir");
  const bool bothNumbers = domain && dir && (domain->isNumber() || domain->isBool()) &&
                           (dir->isNumber() || dir->isBool());
  if (!bothNumbers) {
    if (isNote) {
      entry->set("domain", 0);
      entry->set("dir", false);
    } else if (isNotebook) {
      entry->set("domain", 1);
      entry->set("dir", true);
    } else if (isNormalFile) {
      entry->set("domain", 1);
      entry->set("dir", false);
    }
  }
  if (!meta->contains("metaProps")) meta->set("metaProps", emptyDictionary());
  if (!meta->contains("author")) meta->set("author", kx::Value());
  if (!meta->contains("sourceURL")) meta->set("sourceURL", kx::Value());
  return Built{std::move(*entry), std::move(*meta)};
}

std::optional<kx::Dictionary> KXFileMetaWebUtil::fileDictFrom(
    const std::shared_ptr<KXManagedObject>& object, bool entire) {
  Reading reading;
  inPlace([&] { reading = read(object); });
  return fileDict(
      object,
      build(object, std::move(reading), kx::Value(KXSession::defaultSession().currentUser())),
      entire);
}

kx::Array KXFileMetaWebUtil::fileDictsFrom(const std::vector<std::shared_ptr<FileMeta>>& objects,
                                           bool entire) {
  std::vector<Reading> readings(objects.size());
  inPlace([&] {
    // The resources of every entry at once, per context the entries
    // belong to (a listing's entries share one).
    std::vector<std::pair<std::shared_ptr<KXManagedObjectContext>, std::vector<KXManagedObjectPtr>>>
        groups;
    for (const std::shared_ptr<FileMeta>& object : objects) {
      if (!object) continue;
      std::shared_ptr<KXManagedObjectContext> context = object->managedObjectContext();
      if (!context) continue;
      auto group = std::find_if(groups.begin(), groups.end(),
                                [&](const auto& g) { return g.first == context; });
      if (group == groups.end()) {
        group = groups.emplace(groups.end(), std::move(context), std::vector<KXManagedObjectPtr>());
        group->second.reserve(objects.size());
      }
      group->second.push_back(object);
    }
    for (const auto& [context, members] : groups) {
      context->prefetchRelationships(members, {"resources"});
    }
    for (std::size_t i = 0; i < objects.size(); ++i) readings[i] = read(objects[i]);
  });
  // The session's user, read once for the whole batch.
  const kx::Value userId(KXSession::defaultSession().currentUser());
  kx::Array dicts;
  dicts.reserve(objects.size());
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (std::optional<kx::Dictionary> dict =
            fileDict(objects[i], build(objects[i], std::move(readings[i]), userId), entire)) {
      dicts.push_back(kx::Value(std::move(*dict)));
    }
  }
  return dicts;
}

std::optional<kx::Dictionary> KXFileMetaWebUtil::fileDict(
    const std::shared_ptr<KXManagedObject>& object, std::optional<Built> built, bool entire) {
  if (!built) return std::nullopt;
  if (!entire) return std::move(built->entry);
  kx::Dictionary file;
  file.reserve(3);
  file.set("fileEntry", kx::Value(std::move(built->entry)));
  file.set("fileMeta", kx::Value(std::move(built->meta)));
  kx::Dictionary other;
  if (auto entryObject = std::dynamic_pointer_cast<FileMeta>(object)) {
    std::string namePath = entryObject->namePath();
    if (!namePath.empty()) other.set("pn", lastPathComponent(namePath));
    if (std::optional<std::string> parentName = entryObject->getParentName()) {
      other.set("parentName", *parentName);
    }
  }
  file.set("otherProp", kx::Value(std::move(other)));
  return file;
}
