#include "Data/DataUtil/KXNameDict.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "Data/store/KXModel.h"

namespace {

TEST(KXNameDictTest, ShippedTableKeepsItsRules) {
  std::ifstream file(std::string(ZN_SOURCE_DIR) + "/resources/names.dat");
  std::stringstream text;
  text << file.rdbuf();
  std::optional<kx::Dictionary> table = KXNameDict::parseTable(text.str());
  ASSERT_TRUE(table);

  // Names a namespace may map to besides its entity's attributes: keys that
  // formatMeta types or the web file entry reads, and keys the sync reads
  // from converted items.
  const std::set<std::string> fileMetaExtras{
      "isDirectory", "fileNum", "dirNum",   "subTreeFileNum",     "subTreeDirNum",
      "erased",      "shared",  "shareUrl", "searchEngineEnable", "resourcesExpected"};
  struct Namespace {
    const char* name;
    const char* entity;
  };
  const Namespace namespaces[] = {{"entry", "FileMeta"},      {"meta", "FileMeta"},
                                  {"entryProps", "FileMeta"}, {"client", "FileMeta"},
                                  {"UserMeta", "User"},       {"Tag", "Tag"},
                                  {"resource", "Resource"}};
  for (const Namespace& ns : namespaces) {
    SCOPED_TRACE(ns.name);
    const kx::Value* pairs = table->find(ns.name);
    ASSERT_TRUE(pairs && pairs->isDictionary());
    const KXEntityDescription* entity = KXModel::shared().entity(ns.entity);
    ASSERT_TRUE(entity);
    std::set<std::string> locals;
    for (const auto& [remote, local] : pairs->dict()) {
      ASSERT_TRUE(local.isString()) << remote;
      const std::string& name = local.string();
      EXPECT_TRUE(locals.insert(name).second) << "two service names map to " << name;
      bool isAttribute = entity->attribute(name) != nullptr;
      bool isExtra = std::string(ns.entity) == "FileMeta" && fileMetaExtras.count(name);
      EXPECT_TRUE(isAttribute || isExtra) << remote << " -> " << name;
    }
  }
  // The keys the sync reads from converted entries are there to be read.
  auto localsOf = [&](const char* ns) {
    std::set<std::string> locals;
    for (const auto& [remote, local] : (*table)[ns].dict()) locals.insert(local.stringValue());
    return locals;
  };
  const std::set<std::string> entryLocals = localsOf("entry");
  for (const char* key : {"erased", "shared", "shareUrl", "searchEngineEnable"}) {
    EXPECT_TRUE(entryLocals.count(key)) << key;
  }
  EXPECT_TRUE(localsOf("meta").count("resourcesExpected"));
  // The program reads the same file, strictly parsed.
  ASSERT_TRUE(KXNameDict::table(false));
  EXPECT_EQ(*KXNameDict::table(false), *table);
  EXPECT_EQ(KXNameDict::table(true)->find("entry")->dict()["title"].stringValue(), "name");
  EXPECT_EQ(KXNameDict::fileReads(), 1);
}

TEST(KXNameDictTest, ParsingIsStrict) {
  EXPECT_FALSE(KXNameDict::parseTable("{\"entry\": {}} // note"));
  EXPECT_FALSE(KXNameDict::parseTable("/* c */ {\"entry\": {}}"));
  EXPECT_FALSE(KXNameDict::parseTable("[1]"));
  EXPECT_TRUE(KXNameDict::parseTable("{\"entry\": {\"id\": \"fileId\"}}"));
}

TEST(KXNameDictTest, ConvertsNamesAndValues) {
  // Null becomes "", unknown keys go, empty objects stay.
  std::optional<kx::Dictionary> local = KXNameDict::namesConvertFromRemoteToLocal(
      kx::Value::dict({{"name", kx::Value()}, {"unknown", 5}, {"entryProps", kx::Dictionary()}}),
      "entry");
  ASSERT_TRUE(local);
  EXPECT_EQ(*local, (kx::Dictionary{{"title", ""}, {"entryProps", kx::Dictionary()}}));
  EXPECT_FALSE(KXNameDict::namesConvertFromRemoteToLocal(kx::Value::dict({}), "nothing"));
  EXPECT_TRUE(KXNameDict::namesConvertFromRemoteToLocal(kx::Value("text"), "entry")->empty());

  // Stored JSON bytes arrive parsed; bytes that are not JSON stay bytes.
  std::string json = "{\"bgImageId\": \"b1\"}";
  kx::Bytes good(json.begin(), json.end());
  kx::Bytes bad{'{', 'x'};
  std::optional<kx::Dictionary> remote = KXNameDict::namesConvertFromLocalToRemote(
      kx::Value::dict({{"entryProps", good}, {"fileId", "F"}}), "entry");
  ASSERT_TRUE(remote);
  EXPECT_EQ((*remote)["entryProps"]["bgImageId"].stringValue(), "b1");
  EXPECT_EQ((*remote)["id"].stringValue(), "F");
  remote =
      KXNameDict::namesConvertFromLocalToRemote(kx::Value::dict({{"entryProps", bad}}), "entry");
  EXPECT_TRUE((*remote)["entryProps"].isData());

  // A service entry needs its "entry" object.
  EXPECT_FALSE(KXNameDict::namesConvertFromRemoteToLocalForFileMeta(
      kx::Value::dict({{"meta", kx::Value::dict({{"value", kx::Dictionary()}})}})));
  std::optional<kx::Dictionary> entry =
      KXNameDict::namesConvertFromRemoteToLocalForFileMeta(kx::Value::dict(
          {{"entry", kx::Value::dict({{"id", "F1"},
                                      {"dir", "true"},
                                      {"entryProps", kx::Value::dict({{"stick", "true"}})}})},
           {"meta", kx::Value::dict({{"value", kx::Value::dict({{"author", "me"}})}})}}));
  ASSERT_TRUE(entry);
  EXPECT_EQ((*entry)["fileId"].stringValue(), "F1");
  EXPECT_EQ((*entry)["dir"], kx::Value(true));
  EXPECT_EQ((*entry)["stick"], kx::Value(true));
  EXPECT_EQ((*entry)["author"].stringValue(), "me");
  EXPECT_TRUE((*entry)["entryProps"].isData());

  // The web interface's save parameters, with their property text.
  std::optional<kx::Dictionary> saved = KXNameDict::namesConvertFromClientToServer(kx::Value::dict(
      {{"name", "Plan"}, {"domain", "0"}, {"entryProps", "{\"bgImageId\": \"v2\"}"}}));
  ASSERT_TRUE(saved);
  EXPECT_EQ(*saved, (kx::Dictionary{{"title", "Plan"}, {"domain", 0}, {"bgImageId", "v2"}}));
}

// Conversion looks the record's keys up under the hashes its table holds:
// records of any width (beyond 64 keys too) and of any history (removals
// renumber the entries) convert the named keys, in the record's order.
TEST(KXNameDictTest, ConvertsWideAndReshapedRecordsInOrder) {
  for (const int filler : {0, 100}) {
    kx::Dictionary record;
    record.set("removed", 0);
    for (int i = 0; i < filler; ++i) record.set("unnamed" + std::to_string(i), i);
    record.set("title", "Plan");
    for (int i = filler; i < 2 * filler; ++i) record.set("unnamed" + std::to_string(i), i);
    record.set("fileId", "F");
    record.set("parentId", kx::Value());
    record.remove("removed");
    std::optional<kx::Dictionary> remote =
        KXNameDict::namesConvertFromLocalToRemote(kx::Value(record), "entry");
    ASSERT_TRUE(remote) << filler;
    EXPECT_EQ(remote->keys(), (std::vector<std::string>{"name", "id", "parentId"})) << filler;
    EXPECT_EQ(*remote, (kx::Dictionary{{"name", "Plan"}, {"id", "F"}, {"parentId", ""}})) << filler;
  }
}

TEST(KXNameDictTest, FormatMetaTypesTheListedKeys) {
  kx::Dictionary meta{
      {"dir", "true"}, {"deleted", "false"}, {"size", "12abc"}, {"modifyTime", "1600000000123"},
      {"version", 7},  {"title", "12"},      {"domain", "none"}};
  KXNameDict::formatMeta(meta);
  EXPECT_EQ(meta["dir"], kx::Value(true));
  EXPECT_EQ(meta["deleted"], kx::Value(false));
  EXPECT_EQ(meta["size"].intValue(), 12);
  EXPECT_EQ(meta["modifyTime"].intValue(), 1600000000);
  EXPECT_EQ(meta["version"], kx::Value(7));
  EXPECT_EQ(meta["title"], kx::Value("12"));
  EXPECT_EQ(meta["domain"].intValue(), 0);
  EXPECT_TRUE(meta["domain"].isNumber());
}

}  // namespace
