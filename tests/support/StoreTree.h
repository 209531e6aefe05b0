// StoreTree puts a tree of entries (the root, notebooks, notes, other files)
// into a store, the way the tests of the store, the handlers and the sync
// engine seed the store they read. It runs inside a write block and fails
// the test (EXPECT) when a row cannot be made or a field cannot be set.
//
// A file entry other than the root gets the flags of an entry pulled from
// the service unless its fields say otherwise: not deleted ("del"), not
// removed on the service ("remoteRemoved"), not pinned ("stick"), not
// encrypted, and "dir" for notebooks only. A tree may add defaults of its
// own (a version, "localModified"); the fields of a row always win.
//
//   data->performSyncWriteBlock([](KXManagedObjectContext& c) {
//     kxtest::StoreTree tree(c);
//     tree.root("ROOT", "My Notes");
//     tree.notebook("NB", "ROOT", "Work");
//     tree.note("N1", "NB", "plan.note", {{"modifyTime", 5}});
//     tree.file("F1", "NB", "a.txt", {{"domain", 1}});
//   });
//
// Header only: the test programs that use it link the store.
//
// Thread safety: one tree per write block, on the store's write queue.
#ifndef ZN_TESTS_SUPPORT_STORETREE_H_
#define ZN_TESTS_SUPPORT_STORETREE_H_

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "Data/store/KXManagedObjectContext.h"
#include "platform/Value.h"

namespace kxtest {

class StoreTree {
 public:
  explicit StoreTree(KXManagedObjectContext& context, kx::Dictionary moreDefaults = {})
      : context_(context), moreDefaults_(std::move(moreDefaults)) {}

  // A row of any entity; file entries other than the root get the
  // defaults above. Null (and a failed test) when the row cannot be made.
  KXManagedObjectPtr put(const std::string& entity, const kx::Dictionary& fields) {
    KXManagedObjectPtr object = context_.insertNewObject(entity);
    EXPECT_TRUE(object) << entity;
    if (!object) return nullptr;
    if (object->isKindOfEntity("FileMeta") && !object->isKindOfEntity("Root")) {
      kx::Dictionary defaults{{"del", false},
                              {"remoteRemoved", false},
                              {"stick", false},
                              {"encrypted", false},
                              {"dir", object->isKindOfEntity("Notebook")}};
      for (const auto& [key, value] : moreDefaults_) defaults.set(key, value);
      for (const auto& [key, value] : defaults) {
        if (!fields.contains(key)) object->setValue(key, value);
      }
    }
    EXPECT_TRUE(object->setValuesForKeys(fields)) << entity;
    return object;
  }

  KXManagedObjectPtr root(const std::string& id, const std::string& title,
                          kx::Dictionary more = {}) {
    more.set("fileId", id);
    more.set("title", title);
    return put("Root", more);
  }
  KXManagedObjectPtr notebook(const std::string& id, const std::string& parentId,
                              const std::string& title, kx::Dictionary more = {}) {
    return put("Notebook", entry(id, parentId, title, std::move(more)));
  }
  KXManagedObjectPtr note(const std::string& id, const std::string& parentId,
                          const std::string& title, kx::Dictionary more = {}) {
    return put("Note", entry(id, parentId, title, std::move(more)));
  }
  KXManagedObjectPtr file(const std::string& id, const std::string& parentId,
                          const std::string& title, kx::Dictionary more = {}) {
    return put("NormalFile", entry(id, parentId, title, std::move(more)));
  }

 private:
  static kx::Dictionary entry(const std::string& id, const std::string& parentId,
                              const std::string& title, kx::Dictionary more) {
    more.set("fileId", id);
    more.set("parentId", parentId);
    more.set("title", title);
    return more;
  }

  KXManagedObjectContext& context_;
  const kx::Dictionary moreDefaults_;
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_STORETREE_H_
