// The rules of the metadata pull that the store's applier follows, apart
// from the store: objects are rows of the program's store, never saved.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "Data/store/KXDataContext.h"
#include "sync/pull/KXSyncPullProxy.h"

namespace {

kx::Dictionary item(kx::Dictionary values) { return values; }

KXManagedObjectPtr localNote(const kx::Dictionary& values) {
  KXManagedObjectPtr note;
  KXDataClient::defaultDataClient().dataContext()->performSyncWriteBlock(
      [&](KXManagedObjectContext& write) {
        note = write.insertNewObject("Note");
        note->setValuesForKeys(values);
      });
  return note;
}

TEST(KXSyncPullProxyRulesTest, RingAppearFollowsParentsThroughTheBatch) {
  kx::Dictionary idDict;
  auto put = [&](const char* id, const char* parent) {
    idDict.set(id, kx::Value::dict({{"fileId", kx::Value(id)}, {"parentId", kx::Value(parent)}}));
  };
  put("a", "b");
  put("b", "a");        // a <-> b
  put("below", "a");    // hangs below the loop
  put("self", "self");  // its own parent
  put("x", "y");
  put("y", "ROOT");  // ROOT is not in the batch
  put("t", "1");     // in the trash
  idDict.set("noParent", kx::Value::dict({{"fileId", kx::Value("noParent")}}));
  const std::map<std::string, bool> expected = {
      {"a", true},  {"b", true},  {"below", true},     {"self", true},    {"x", false},
      {"y", false}, {"t", false}, {"noParent", false}, {"missing", false}};
  for (const auto& [id, ring] : expected) {
    EXPECT_EQ(KXSyncPullProxy::ringAppear(idDict, id), ring) << id;
  }
}

TEST(KXSyncPullProxyRulesTest, ParentNormalisation) {
  kx::Dictionary idDict;
  idDict.set("trashed", kx::Value::dict({{"del", kx::Value(true)}}));
  idDict.set("removed", kx::Value::dict({{"remoteRemoved", kx::Value(true)}}));
  idDict.set("live", kx::Value::dict({}));
  struct Row {
    const char* parent;
    bool notebook;
    bool del, removed, modified;
  };
  const std::vector<Row> rows = {
      {"live", true, false, false, false},     {"missing", true, false, false, false},
      {"trashed", true, true, false, false},   {"removed", true, false, true, true},
      {"removed", false, false, false, false}, {"1", true, true, false, false},
      {"0", true, true, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.parent) + (row.notebook ? " notebook" : " note"));
    kx::Dictionary pulled{
        {"fileId", kx::Value("c")}, {"parentId", kx::Value(row.parent)}, {"del", kx::Value(true)}};
    kx::Dictionary dict = idDict;
    dict.set("c", kx::Value(pulled));
    KXSyncPullProxy::normalizeParent(pulled, dict, row.notebook);
    EXPECT_EQ(pulled["del"].boolValue(), row.del);
    EXPECT_EQ(dict["c"]["del"].boolValue(), row.del) << "children see it";
    EXPECT_EQ(pulled["remoteRemoved"].boolValue(), row.removed);
    EXPECT_EQ(pulled["localModified"].boolValue(), row.modified);
  }
}

TEST(KXSyncPullProxyRulesTest, MergeKeepsLocalPlacementAndTextsOfAModifiedEntry) {
  const kx::Dictionary pulled{{"fileId", kx::Value("F")},
                              {"title", kx::Value("remote")},
                              {"author", kx::Value("r")},
                              {"sourceURL", kx::Value("u")},
                              {"parentId", kx::Value("P2")},
                              {"del", kx::Value(false)},
                              {"remoteRemoved", kx::Value(false)},
                              {"modifyTime", kx::Value(50)},
                              {"version", kx::Value(9)}};
  auto untouched = localNote({{"fileId", kx::Value("F")}, {"localModified", kx::Value(0)}});
  EXPECT_EQ(KXSyncPullProxy::mergeMeta(*untouched, pulled, false), pulled);

  auto modified = localNote({{"fileId", kx::Value("F")},
                             {"localModified", kx::Value(1)},
                             {"title", kx::Value("mine")},
                             {"author", kx::Value("")},
                             {"parentId", kx::Value("P1")},
                             {"modifyTime", kx::Value(60)}});
  kx::Dictionary merged = KXSyncPullProxy::mergeMeta(*modified, pulled, false);
  EXPECT_FALSE(merged.contains("title"));
  EXPECT_EQ(merged["author"].stringValue(), "r") << "an empty local author takes the remote one";
  EXPECT_EQ(merged["sourceURL"].stringValue(), "u");
  EXPECT_FALSE(merged.contains("parentId"));
  EXPECT_FALSE(merged.contains("del"));
  EXPECT_FALSE(merged.contains("remoteRemoved"));
  EXPECT_FALSE(merged.contains("modifyTime")) << "the local change is newer";
  EXPECT_EQ(merged["version"].intValue(), 9);

  auto older = localNote(
      {{"fileId", kx::Value("F")}, {"localModified", kx::Value(1)}, {"modifyTime", kx::Value(40)}});
  EXPECT_EQ(KXSyncPullProxy::mergeMeta(*older, pulled, false)["modifyTime"].intValue(), 50);

  // In the local trash with its trashed parent: the entry stays trashed.
  auto trashed = localNote({{"fileId", kx::Value("F")},
                            {"localModified", kx::Value(1)},
                            {"del", kx::Value(true)},
                            {"parentId", kx::Value("P2")},
                            {"title", kx::Value("mine")}});
  kx::Dictionary inTrash = KXSyncPullProxy::mergeMeta(*trashed, pulled, true);
  EXPECT_FALSE(inTrash.contains("del"));
  EXPECT_EQ(inTrash["title"].stringValue(), "remote")
      << "texts of a trashed entry follow the service";
  EXPECT_TRUE(KXSyncPullProxy::mergeMeta(*trashed, pulled, false).contains("del"))
      << "its parent is live: the service's del stands";
}

TEST(KXSyncPullProxyRulesTest, ConflictsTitlesAndVersionSkips) {
  auto changed = localNote({{"fileId", kx::Value("F")},
                            {"checksum", kx::Value("L")},
                            {"contentChanged", kx::Value(true)}});
  auto clean = localNote({{"fileId", kx::Value("F")},
                          {"checksum", kx::Value("L")},
                          {"contentChanged", kx::Value(false)}});
  const kx::Dictionary other{{"checksum", kx::Value("R")}};
  const kx::Dictionary same{{"checksum", kx::Value("L")}};
  EXPECT_TRUE(KXSyncPullProxy::isContentConflict(other, *changed, ""));
  EXPECT_FALSE(KXSyncPullProxy::isContentConflict(same, *changed, ""));
  EXPECT_FALSE(KXSyncPullProxy::isContentConflict(other, *clean, ""));
  EXPECT_TRUE(KXSyncPullProxy::isContentConflict(same, *clean, "F")) << "open in the editor";
  EXPECT_FALSE(KXSyncPullProxy::isContentConflict(same, *clean, "G"));

  EXPECT_EQ(KXSyncPullProxy::conflictTitle(std::string("Report.txt")),
            "Report(Sync Conflicted).txt");
  EXPECT_EQ(KXSyncPullProxy::conflictTitle(std::string("Plan")), "Plan(Sync Conflicted).");
  EXPECT_EQ(KXSyncPullProxy::conflictTitle(std::string("a.tar.gz")), "a.tar(Sync Conflicted).gz");
  EXPECT_EQ(KXSyncPullProxy::conflictTitle(std::string(".hidden")), ".hidden(Sync Conflicted).");
  EXPECT_EQ(KXSyncPullProxy::conflictTitle(std::nullopt), "(Sync Conflicted)");

  EXPECT_TRUE(KXSyncPullProxy::skipByVersion(5, 5, false));
  EXPECT_TRUE(KXSyncPullProxy::skipByVersion(6, 5, false));
  EXPECT_FALSE(KXSyncPullProxy::skipByVersion(4, 5, false));
  EXPECT_FALSE(KXSyncPullProxy::skipByVersion(5, 5, true)) << "a full pull takes everything";
}

TEST(KXSyncPullProxyRulesTest, ModifiedSubtreePathsStopAtModifiedEntriesAndCycles) {
  using Child = KXSyncPullProxy::StoredChild;
  std::map<std::string, std::vector<Child>> tree = {
      {"NB",
       {{"n1", false, true}, {"n2", false, false}, {"sub", true, false}, {"mod", true, true}}},
      {"sub", {{"deep", false, true}, {"loop", true, false}}},
      {"loop", {{"sub", true, false}}},  // a stored parent cycle
      {"mod", {{"inside", false, true}}},
  };
  auto paths = KXSyncPullProxy::subTreeModifiedMetaUnderNotebook(
      "NB", [&](const std::string& id) { return tree[id]; });
  EXPECT_EQ(paths, (std::vector<std::string>{"NB/n1", "NB/sub/deep", "NB/mod"}));
}

}  // namespace
