#include "sync/pull/KXSyncStorePullApplier.h"
#include "sync/cycle/KXSyncState.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "Data/DataUtil/KXFileMetaUtil.h"
#include "Data/DataUtil/KXNotebookUtil.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXModel.h"
#include "sync/cycle/KXFileMetaDetail.h"
#include "sync/cycle/KXSyncScriptBridge.h"
#include "sync/pull/KXConflictManager.h"
#include "sync/pull/KXObjectPuller.h"
#include "sync/pull/KXSyncPullProxy.h"

namespace {

bool isSpecialParent(const std::string& parentId) {
  return parentId.empty() || parentId == "1" || parentId == "0";
}

// The service marks an entry in its trash "deleted"; the store keeps that
// mark in "del", which the trash listings and the conflict rules read.
void takeTrashMark(kx::Dictionary& item) {
  if (!item.contains("del") && item.contains("deleted")) item.set("del", item["deleted"]);
}

kx::Dictionary modifyInfo(const FileMeta& local, kx::Dictionary fields) {
  return kx::Dictionary{{KXEntryWrites::kModifyIdentityKey, local.objectID().toValue()},
                        {KXEntryWrites::kModifyFieldsKey, kx::Value(std::move(fields))}};
}

}  // namespace

// What one apply() works with: the write context, the batch's idDict and
// what goes back to the pull.
struct KXSyncStorePullApplier::Pass {
  KXManagedObjectContext& context;
  kx::Dictionary& idDict;
  KXSyncPullApplication application;
  bool fullPulling = false;
  // Entries the pull cut out of a parent cycle (placed under the root).
  const std::vector<std::string>* cut = nullptr;
  // Items applied since the pass last saved.
  std::size_t itemsSinceSave = 0;

  bool wasCut(const std::string& fileId) const {
    return cut != nullptr && std::find(cut->begin(), cut->end(), fileId) != cut->end();
  }
};

KXDataClient& KXSyncStorePullApplier::client() const {
  return client_ != nullptr ? *client_ : KXDataClient::defaultDataClient();
}

std::string KXSyncStorePullApplier::newFileId() { return FileMeta::idForFileMeta(); }

void KXSyncStorePullApplier::pullBody(Pass& pass, const std::string& fileId, kx::Dictionary item,
                                      bool isNew, bool isConflict) {
  pass.application.pullers.push_back(KXObjectPuller::pullerWithfileId(
      fileId, std::move(item), true, false, isNew, isConflict,
      KXObjectPuller::Services{client_, filePuller_, {}, nullptr}));
}

void KXSyncStorePullApplier::pullObject(Pass& pass, const std::string& fileId, kx::Dictionary item,
                                        bool body, bool link, bool isNew) {
  if (!link) {
    pullBody(pass, fileId, std::move(item), isNew, false);
    return;
  }
  // Made for the link; told to fetch the body too when it is owed.
  auto puller =
      KXObjectPuller::pullerWithfileId(fileId, std::move(item), false, true, isNew, false,
                                       KXObjectPuller::Services{client_, filePuller_, {}, nullptr});
  if (body) puller->setNeedPullFile(true);
  pass.application.pullers.push_back(std::move(puller));
}

std::string KXSyncStorePullApplier::refusedValues(const std::string& entityName,
                                                  const kx::Dictionary& item) {
  const KXEntityDescription* entity = KXModel::shared().entity(entityName);
  if (entity == nullptr) return "no entity " + entityName;
  std::string refused;
  for (const auto& [key, value] : item) {
    const KXAttributeDescription* attribute = entity->attribute(key);
    if (attribute == nullptr) continue;
    kx::Value coerced;
    std::string why;
    if (!attribute->coerce(value, &coerced, &why)) {
      refused += (refused.empty() ? "" : "; ") + key + ": " + why;
    }
  }
  return refused;
}

KXSyncPullApplication KXSyncStorePullApplier::apply(KXSyncPullBatch& batch) {
  std::shared_ptr<KXDataContext> data = client().dataContext();
  if (!data) {
    KXLOG("pulled entries not applied: the store is closed");
    return {};
  }
  KXSyncPullApplication application;
  data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    Pass pass{context, batch.idDict, {}, KXSyncState::shared().isFullPulling(), &batch.cyclic};
    applyDeletedNotesOrFiles(pass, batch.deleteNotes, "Note");
    applyDeletedNotesOrFiles(pass, batch.deleteFiles, "NormalFile");
    applyDeletedNotebooks(pass, batch.deleteNotebooks);
    applyNotebooks(pass, batch.newAndModifyNotebooks);
    applyNotesOrFiles(pass, batch.newAndModifyNotes, "Note");
    applyNotesOrFiles(pass, batch.newAndModifyFiles, "NormalFile");
    application = std::move(pass.application);
  });
  return application;
}

void KXSyncStorePullApplier::addRoot(const kx::Dictionary& rootInfo) {
  kx::Dictionary root = rootInfo;
  root.set("fileId", kx::Value(KXDataClient::kRootFileId));
  if (std::string why = refusedValues("Root", root); !why.empty()) {
    KXLOG("pulled root notebook not stored: %s", why.c_str());
    return;
  }
  client().writes().addRoot(kx::Array{kx::Value(std::move(root))}, false, nullptr);
}

void KXSyncStorePullApplier::updateRootVersion(std::int64_t version) {
  client().writes().updateRootVersion(version);
}

bool KXSyncStorePullApplier::modify(Pass& pass, const std::string& entity,
                                    const kx::Dictionary& info) {
  bool applied = false;
  client().writes().modifyManagedObjectSync(
      entity, &pass.context, kx::Array{kx::Value(info)},
      [&](const KXResultInfo& result, const kx::Error& error) {
        applied = result.value.isArray() && !result.value.array().empty();
        if (!applied) {
          KXLOG("pulled entry not applied: %s", error.localizedDescription().c_str());
        }
      });
  return applied;
}

bool KXSyncStorePullApplier::insert(Pass& pass, const std::string& entity,
                                    const kx::Dictionary& item) {
  const std::string fileId = item["fileId"].stringValue();
  if (std::string why = refusedValues(entity, item); !why.empty()) {
    KXLOG("pulled entry %s skipped: %s", fileId.c_str(), why.c_str());
    return false;
  }
  std::vector<KXManagedObjectPtr> added = client().writes().addManagedObjectsSync(
      entity, &pass.context, kx::Array{kx::Value(item)}, nullptr);
  if (added.empty()) KXLOG("pulled entry %s was not inserted", fileId.c_str());
  return !added.empty();
}

void KXSyncStorePullApplier::saveEveryPageOfItems(Pass& pass) {
  // A long pull keeps what it has applied so far, a unit of whole items at a
  // time; the root version moves on only after the pull's last save, so a
  // pull cut short starts again from before its first item and every entry
  // stored without its body is fetched again. A unit per page of items
  // rather than per few items: each commit rewrites the pages of the tables
  // and indexes it touched and posts a did-save that the readers merge.
  if (++pass.itemsSinceSave < kItemsPerSave) return;
  pass.itemsSinceSave = 0;
  kx::Error error;
  if (!pass.context.save(&error)) {
    KXLOG("pulled entries not saved: %s", error.localizedDescription().c_str());
  }
}

void KXSyncStorePullApplier::logMissingParent(Pass& pass, const std::string& fileId,
                                              const std::string& parentId) {
  if (isSpecialParent(parentId) || pass.idDict.contains(parentId)) return;
  if (client().readsIn(&pass.context).objectForFileMetaID(parentId)) return;
  KXLOG("pulled entry %s lies under %s, which is neither here nor in the pull", fileId.c_str(),
        parentId.c_str());
}

void KXSyncStorePullApplier::erase(Pass& pass, const std::string& fileId) {
  // The whole subtree goes: nothing could reach those rows any more.
  std::unordered_set<std::string> visited{fileId};
  std::vector<std::string> level{fileId};
  if (KXFileMetaPtr entry = client().readsIn(&pass.context).objectForFileMetaID(fileId)) {
    pass.context.deleteObject(entry);
  }
  while (!level.empty()) {
    std::vector<std::string> next;
    for (const std::string& parent : level) {
      for (const KXFileMetaPtr& child :
           client().readsIn(&pass.context).objectsForParentId(parent, "FileMeta")) {
        const std::string id = child->fileId();
        if (!visited.insert(id).second) continue;
        next.push_back(id);
        pass.context.deleteObject(child);
      }
    }
    level = std::move(next);
  }
}

std::vector<std::string> KXSyncStorePullApplier::modifiedUnder(Pass& pass,
                                                               const std::string& notebookId) {
  return KXSyncPullProxy::subTreeModifiedMetaUnderNotebook(notebookId, [&](const std::string& id) {
    std::vector<KXSyncPullProxy::StoredChild> children;
    for (const KXFileMetaPtr& child :
         client().readsIn(&pass.context).objectsForParentId(id, "FileMeta")) {
      children.push_back({child->fileId(), child->dir(), child->localModified() != 0});
    }
    return children;
  });
}

void KXSyncStorePullApplier::applyDeletedNotesOrFiles(Pass& pass,
                                                      const std::vector<kx::Dictionary>& list,
                                                      const std::string& entity) {
  for (kx::Dictionary item : list) {
    saveEveryPageOfItems(pass);
    KXFileMetaPtr local =
        client().readsIn(&pass.context).objectForFileMetaID(item["fileId"].stringValue());
    if (!local) continue;
    takeTrashMark(item);
    KXConflictResult verdict = KXConflictManager::sharedManager().passConflictData(
        item, local.get(), KXConflictManager::kTypeNoteOrFile, pass.fullPulling);
    const std::string parentId = item["parentId"].stringValue();
    const kx::Value* parent = pass.idDict.find(parentId);
    const bool parentGone = isSpecialParent(parentId) ||
                            (parent != nullptr && (*parent)["remoteRemoved"].intValue() == 1);
    if (parentGone && verdict.keyPolicy == KXConflictResult::kRemoteWins) {
      if (std::string why = refusedValues(entity, item); !why.empty()) {
        KXLOG("pulled removal of %s skipped: %s", local->fileId().c_str(), why.c_str());
        continue;
      }
      kx::ignoreError(modify(pass, entity, modifyInfo(*local, item)));
    } else {
      // The entry stays here and is pushed again.
      kx::ignoreError(
          modify(pass, entity, modifyInfo(*local, {{"contentChanged", kx::Value(true)}})));
    }
  }
}

void KXSyncStorePullApplier::applyDeletedNotebooks(Pass& pass,
                                                   const std::vector<kx::Dictionary>& list) {
  for (const kx::Dictionary& item : list) {
    saveEveryPageOfItems(pass);
    KXFileMetaPtr local =
        client().readsIn(&pass.context).objectForFileMetaID(item["fileId"].stringValue());
    if (!local) continue;
    KXConflictResult verdict = KXConflictManager::sharedManager().passConflictData(
        item, local.get(), KXConflictManager::kTypeNotebook, pass.fullPulling);
    if (verdict.keyPolicy != KXConflictResult::kRemoteWins) continue;
    if (modifiedUnder(pass, local->fileId()).empty()) {
      erase(pass, local->fileId());
      continue;
    }
    // What was changed here under it is pushed again with the notebook.
    kx::ignoreError(modify(pass, "Notebook",
                           modifyInfo(*local, {{"localModified", kx::Value(true)},
                                               {"version", kx::Value(local->version() + 1)}})));
  }
}

void KXSyncStorePullApplier::applyNotebooks(Pass& pass, const std::vector<kx::Dictionary>& list) {
  for (kx::Dictionary item : list) {
    saveEveryPageOfItems(pass);
    const std::string fileId = item["fileId"].stringValue();
    if (fileId.empty()) continue;
    takeTrashMark(item);
    KXSyncPullProxy::normalizeParent(item, pass.idDict, true);
    const bool isRoot = item["parentId"].stringValue() == KXDataClient::kAboveRootParentId;
    KXFileMetaPtr local =
        client()
            .readsIn(&pass.context)
            .objectForFileMetaID(isRoot ? std::string(KXDataClient::kRootFileId) : fileId);
    if (!isRoot && pass.wasCut(fileId)) {
      // Cut out of a parent cycle: a known notebook stays where it is here
      // (what lies below it follows it there), a new one is under the root.
      // It is stored one version behind the service's, so that the pull
      // that offers it again, once the service's tree is whole, applies it.
      if (local) {
        item.set("parentId", kx::Value(local->parentId()));
        pass.idDict.find(fileId)->mutableDict().set("parentId", kx::Value(local->parentId()));
      }
      item.set("version", kx::Value(std::max<std::int64_t>(0, item["version"].intValue() - 1)));
    }
    KXConflictResult verdict = KXConflictManager::sharedManager().passConflictData(
        item, local.get(), KXConflictManager::kTypeNotebook, pass.fullPulling);

    if (verdict.keyPolicy != KXConflictResult::kRemoteWins) {
      // Children placed under it see where it stays here.
      if (local) {
        pass.idDict.set(fileId, kx::Value::dict({{"parentId", kx::Value(local->parentId())}}));
      }
      continue;
    }
    if (item["erased"].boolValue()) {
      if (local && !isRoot) erase(pass, local->fileId());
      continue;
    }
    if (std::string why = refusedValues(isRoot ? "Root" : "Notebook", item); !why.empty()) {
      KXLOG("pulled entry %s skipped: %s", fileId.c_str(), why.c_str());
      continue;
    }
    if (!local) {
      kx::Dictionary copy = item;
      copy.set("localModified", kx::Value(0));
      if (isRoot) {
        KXSyncState::shared().setTempVersionForFirstDownLoading(copy["version"].intValue());
        pass.application.rootInfo = std::move(copy);
        pass.application.rootInfoIsModify = false;
        continue;
      }
      logMissingParent(pass, fileId, copy["parentId"].stringValue());
      if (insert(pass, "Notebook", copy) && copy["shared"].boolValue()) {
        pullObject(pass, fileId, copy, false, true, false);
      }
      continue;
    }
    if (isRoot) {
      pass.application.rootInfo = modifyInfo(*local, item);
      pass.application.rootInfoIsModify = true;
      continue;
    }
    const bool wasInTrash = local->del();
    const std::string localParentId = local->parentId();
    if (!modify(pass, "Notebook", modifyInfo(*local, item))) continue;
    if (item["shared"].boolValue()) {
      pullObject(pass, fileId, item, false, true, false);
    } else if (local->shared()) {
      client().records().updateShareInfo(std::nullopt, false, fileId);
    }
    if (item["parentId"].stringValue() == "1" && !wasInTrash) {
      rescueModifiedEntries(pass, fileId, localParentId);
    }
  }
}

void KXSyncStorePullApplier::rescueModifiedEntries(Pass& pass, const std::string& notebookId,
                                                   const std::string& localParentId) {
  const std::vector<std::string> paths = modifiedUnder(pass, notebookId);
  if (paths.empty()) return;
  // The notebook went to the service's trash while entries under it changed
  // here: a copy of it takes their place in its old parent, with copies of
  // the notebooks on the way down, and the changed entries move into them.
  KXFileMetaUtil files(client());
  KXNotebookUtil notebooks(client());
  std::map<std::string, std::string> copies;  // stored id -> its copy (or itself once moved)
  std::vector<std::string> made = files.copyFileIds({notebookId}, localParentId, nullptr, false);
  if (made.empty()) {
    KXLOG("notebook %s went to the trash; its changed entries could not be rescued",
          notebookId.c_str());
    return;
  }
  copies[notebookId] = made.front();
  for (const std::string& path : paths) {
    std::vector<std::string> components;
    for (std::size_t start = 0;;) {
      const std::size_t slash = path.find('/', start);
      components.push_back(path.substr(start, slash - start));
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
    if (components.size() < 2) {
      KXLOG("path from subTreeModifiedMetaUnderNotebook is WRONG: comps number small than 2.");
      continue;
    }
    for (std::size_t i = 1; i < components.size(); ++i) {
      const std::string& component = components[i];
      auto predecessor = copies.find(components[i - 1]);
      if (copies.count(component) != 0 || predecessor == copies.end()) continue;
      if (i + 1 == components.size()) {
        files.movefileIds({component}, predecessor->second, nullptr);
        copies[component] = component;
      } else {
        std::vector<std::string> copy =
            notebooks.copyNotebooks({component}, predecessor->second, nullptr, false);
        if (!copy.empty()) copies[component] = copy.front();
      }
    }
  }
  // The copies are made behind this pass, from notebooks that are in the
  // trash by then: they themselves are live.
  std::vector<std::string> madeCopies;
  for (const auto& [source, copy] : copies) {
    if (source != copy) madeCopies.push_back(copy);
  }
  KXDataClient* owner = &client();
  if (std::shared_ptr<KXDataContext> data = owner->dataContext()) {
    data->performWriteBlock([owner, madeCopies](KXManagedObjectContext& context) {
      for (const std::string& id : madeCopies) {
        if (KXFileMetaPtr copy = owner->readsIn(&context).objectForFileMetaID(id)) {
          kx::ignoreError(
              copy->setValuesForKeys({{"del", kx::Value(false)}, {"deleted", kx::Value(false)}}));
        }
      }
    });
  }
  KXLOG("notebook %s went to the trash: %ld changed entries rescued into %s", notebookId.c_str(),
        static_cast<long>(paths.size()), copies[notebookId].c_str());
}

void KXSyncStorePullApplier::applyNotesOrFiles(Pass& pass, const std::vector<kx::Dictionary>& list,
                                               const std::string& entity) {
  std::shared_ptr<KXSyncScriptBridge> bridge = KXSyncScriptBridge::installed();
  const std::string editingFileId = bridge ? bridge->currentModifingFile() : std::string();
  for (kx::Dictionary item : list) {
    saveEveryPageOfItems(pass);
    const std::string fileId = item["fileId"].stringValue();
    item.remove("summary");
    takeTrashMark(item);
    KXSyncPullProxy::normalizeParent(item, pass.idDict, false);
    if (std::string why = refusedValues(entity, item); !why.empty()) {
      KXLOG("pulled entry %s skipped: %s", fileId.c_str(), why.c_str());
      continue;
    }
    KXFileMetaPtr local = client().readsIn(&pass.context).objectForFileMetaID(fileId);
    const std::int64_t remoteVersion = item["version"].intValue();

    if (!local) {
      if (item["erased"].boolValue()) continue;  // gone for good before it came here
      kx::Dictionary copy = item;
      copy.set("localModified", kx::Value(0));
      copy.set("md5", kx::Value(""));  // the body is still the service's to fetch
      logMissingParent(pass, fileId, copy["parentId"].stringValue());
      const bool shared = copy["shared"].boolValue();
      if (insert(pass, entity, copy)) pullObject(pass, fileId, std::move(copy), true, shared, true);
      continue;
    }
    KXLOG("^^^^^^^remote %ld local %ld", static_cast<long>(remoteVersion),
          static_cast<long>(local->version()));
    // A body that never arrived (its download failed, gave up, or the pull
    // was cut short) is fetched whenever the entry comes again, whatever
    // the versions say; a body changed here is never replaced.
    const bool bodyOwed = !local->contentChanged() &&
                          (local->stringValue("md5").empty() ||
                           client().records().failedInfoWithFileId(fileId, &pass.context));
    if (!bodyOwed &&
        KXSyncPullProxy::skipByVersion(local->version(), remoteVersion, pass.fullPulling)) {
      KXLOG("fliter::fileId:%s,remoteVersion:%ld,localVersion:%ld", fileId.c_str(),
            static_cast<long>(remoteVersion), static_cast<long>(local->version()));
      continue;
    }
    if (item["erased"].boolValue()) {
      KXConflictResult verdict = KXConflictManager::sharedManager().passConflictData(
          item, local.get(), KXConflictManager::kTypeNoteOrFile, pass.fullPulling);
      if (verdict.keyPolicy == KXConflictResult::kRemoteWins) {
        pass.context.deleteObject(local);
      } else {
        KXLOG("pulled erase of %s not taken: changed here", fileId.c_str());
      }
      continue;
    }

    if (KXSyncPullProxy::isContentConflict(item, *local, editingFileId)) {
      if (bridge) bridge->trackEvent("pull_conflict", 1);
      KXLOG("note pull conflict: %s", fileId.c_str());
      KXLOG("file local version %ld", static_cast<long>(local->version()));
      KXLOG("file remote Version %ld", static_cast<long>(remoteVersion));
      kx::Dictionary copy = item;
      copy.set("fileId", kx::Value(newFileId()));
      copy.set("localModified", kx::Value(1));
      copy.set("contentChanged", kx::Value(true));
      copy.set("md5", kx::Value(""));
      copy.remove("checksum");
      const kx::Value* title = item.find("title");
      copy.set(
          "title",
          kx::Value(KXSyncPullProxy::conflictTitle(title != nullptr && title->isString()
                                                       ? std::optional<std::string>(title->string())
                                                       : std::nullopt)));
      // The copy's puller stores it with the service's body, and only then
      // gives the local entry the service's version: until the service's
      // text is kept beside it, the local entry is never pushed over it.
      pullBody(pass, fileId, std::move(copy), false, true);
      continue;
    }

    bool storedParentDeleted = false;
    if (KXFileMetaPtr parent =
            client().readsIn(&pass.context).objectForFileMetaID(local->parentId())) {
      storedParentDeleted = parent->del();
    }
    kx::Dictionary merged = KXSyncPullProxy::mergeMeta(*local, item, storedParentDeleted);
    const bool sameContent = item["checksum"].stringValue() == local->stringValue("checksum");
    const bool fetchBody = !sameContent || local->remoteRemoved() || bodyOwed;
    if (fetchBody) merged.set("md5", kx::Value(""));  // the body is still the service's to fetch
    // No longer shared on the service: its publish address goes.
    if (!merged["shared"].boolValue() && local->shared()) merged.set("shareUrl", kx::Value(""));
    // A shared entry whose link is not stored here yet has it fetched; one
    // that holds its link keeps it across the service's edits.
    const std::optional<std::string> storedLink = local->shareUrl();
    const bool fetchLink =
        merged["shared"].boolValue() && !(local->shared() && storedLink && !storedLink->empty());
    if (!modify(pass, entity, modifyInfo(*local, merged))) continue;
    if (!fetchBody) {
      // The entry's share link follows the service's share state.
      KXFileMetaDetail::handleShareLink(merged, local, client());
    }
    if (fetchBody || fetchLink) {
      merged.set("fileId", kx::Value(fileId));
      if (!merged.contains("title")) merged.set("title", kx::Value(local->stringValue("title")));
      pullObject(pass, fileId, std::move(merged), fetchBody, fetchLink, false);
    }
  }
}
