#include "Data/DataUtil/KXWebEntryNames.h"

#include <memory>
#include <unordered_map>

#include "Data/DataUtil/KXNameDict.h"
#include "Data/store/KXModel.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

namespace {

// The local-to-service pairs of a namespace; nullptr when the table has
// none.
const kx::Dictionary* namespacePairs(const kx::Dictionary& table, const char* ns) {
  const kx::Value* pairs = table.find(ns);
  return pairs && pairs->isDictionary() ? &pairs->dict() : nullptr;
}

KXWebEntryNames::Name nameIn(const kx::Dictionary* pairs, const std::string& local,
                             std::size_t* count) {
  KXWebEntryNames::Name name;
  const kx::Value* found = pairs ? pairs->find(local) : nullptr;
  if (!found || !found->isString()) return name;
  name.present = true;
  name.text = found->string();
  name.hash = kx::Dictionary::hashKey(name.text);
  ++*count;
  return name;
}

struct Names {
  kx::Mutex mutex;
  std::unordered_map<const KXEntityDescription*, std::unique_ptr<KXWebEntryNames>> byEntity
      GUARDED_BY(mutex);
};

Names& names() {
  static Names* all = new Names();
  return *all;
}

}  // namespace

const KXWebEntryNames* KXWebEntryNames::forEntity(const KXEntityDescription* entity) {
  const std::optional<kx::Dictionary>& table = KXNameDict::table(true);
  if (!table) return nullptr;
  const kx::Dictionary* entry = namespacePairs(*table, KXNameDict::kEntryNamespace);
  const kx::Dictionary* meta = namespacePairs(*table, KXNameDict::kMetaNamespace);
  const kx::Dictionary* props = namespacePairs(*table, KXNameDict::kEntryPropsNamespace);
  if (!entry || !meta) return nullptr;

  Names& all = names();
  kx::MutexLock lock(all.mutex);
  std::unique_ptr<KXWebEntryNames>& slot = all.byEntity[entity];
  if (slot) return slot.get();
  slot.reset(new KXWebEntryNames());
  KXWebEntryNames& made = *slot;
  if (!entity || !entity->isKindOfEntity("FileMeta")) return slot.get();
  made.isFile_ = true;
  made.isNote_ = entity->isKindOfEntity("Note");
  made.isNotebook_ = entity->isKindOfEntity("Notebook");
  made.isNormalFile_ = entity->isKindOfEntity("NormalFile");
  auto columnOf = [entity](const char* name) {
    const KXAttributeDescription* attribute = entity->attribute(name);
    return attribute ? attribute->column() : -1;
  };
  made.fileIdColumn_ = columnOf("fileId");
  made.parentIdColumn_ = columnOf("parentId");
  made.namePathColumn_ = columnOf("namePath");
  auto resolve = [&](const std::string& local, int column) {
    Field field;
    field.column = column;
    field.entry = nameIn(entry, local, &made.entryNames_);
    field.meta = nameIn(meta, local, &made.metaNames_);
    field.props = nameIn(props, local, &made.propsNames_);
    return field;
  };
  for (const KXAttributeDescription* attribute : entity->attributes()) {
    Field field = resolve(attribute->name(), attribute->column());
    if (field.entry.present || field.meta.present || field.props.present)
      made.fields_.push_back(std::move(field));
  }
  made.shared_ = resolve("shared", -1);
  made.shareUrl_ = resolve("shareUrl", -1);
  return slot.get();
}
