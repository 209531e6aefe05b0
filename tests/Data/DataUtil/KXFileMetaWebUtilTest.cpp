#include "Data/DataUtil/KXFileMetaWebUtil.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "../DataClientFixture.h"
#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "support/TempAppRoot.h"

namespace {

// A folder with every kind of child and field: notebooks (one with a
// deleted child), notes with unicode and escaped text, numbers, booleans,
// stored entry properties (JSON and not), unset fields, a deleted note,
// resources with a thumbnail, a share link, and a file.
void PutEveryFieldKind(KXManagedObjectContext& c) {
  auto put = [&c](const std::string& entity, const kx::Dictionary& fields) {
    KXManagedObjectPtr object = c.insertNewObject(entity);
    object->setValue("del", false);
    object->setValue("remoteRemoved", false);
    EXPECT_TRUE(object->setValuesForKeys(fields)) << entity;
    return object;
  };
  put("Notebook", {{"fileId", "K"}, {"parentId", "ROOT"}, {"title", "Kinds"}});
  put("Notebook", {{"fileId", "KD"},
                   {"parentId", "K"},
                   {"title", "R\xC3\xA9unions \xE4\xBC\x9A\xE8\xAD\xB0 \xF0\x9F\x8E\x89"},
                   {"namePath", "/Kinds/R\xC3\xA9unions/"},
                   {"createTime", 1600000000000LL},
                   {"favorited", true}});
  put("Notebook", {{"fileId", "KD1"}, {"parentId", "KD"}, {"title", "in"}});
  put("Notebook", {{"fileId", "KD2"}, {"parentId", "KD"}, {"del", true}});
  put("Note", {{"fileId", "KN"},
               {"parentId", "K"},
               {"title", "quote \" back \\ tab \t nl \n ctl \x01 end"},
               {"namePath", "/Kinds/KN"},
               {"tags", "1,2"},
               {"summary", "\xE2\x80\xA8 line sep"},
               {"size", 1234567890123LL},
               {"version", -7},
               {"createTime", 1500000000123LL},
               {"modifyTime", 1500000999000LL},
               {"stick", true},
               {"stickTime", 1500000000000LL},
               {"encrypted", false},
               {"orgEditorType", 2},
               {"author", "Ann"},
               {"entryProps", kx::Bytes{'{', '"', 'k', '"', ':', '"', 'v', '"', ',', '"', 'n', '"',
                                        ':', '1', '}'}}});
  put("Note", {{"fileId", "KX"},
               {"parentId", "K"},
               {"title", "gone"},
               {"deleted", true},
               {"del", true},
               {"domain", 0},
               {"dir", false},
               {"entryProps", kx::Bytes{'n', 'o', 't', ' ', 'j', 's', 'o', 'n'}}});
  put("NormalFile", {{"fileId", "KF"}, {"parentId", "K"}, {"title", "f.pdf"}, {"size", 0}});
  KXManagedObjectPtr pictures =
      put("Note", {{"fileId", "KP"}, {"parentId", "K"}, {"sourceURL", "https://e.example/a?b=1"}});
  const char* sizes[][3] = {{"KP1", "image", "100x100"},
                            {"KP2", "attachment", "900x900"},
                            {"KP3", "image", "300x200"},
                            {"KP4", "image", "odd"}};
  for (const auto& s : sizes) {
    KXManagedObjectPtr resource = c.insertNewObject("Resource");
    resource->setValuesForKeys(
        {{"fileId", s[0]}, {"meidaType", s[1]}, {"imageSize", s[2]}, {"version", 4}});
    pictures->addObject("resources", resource);
  }
  KXManagedObjectPtr shared = put("Note", {{"fileId", "KS"}, {"parentId", "K"}, {"title", "s"}});
  KXManagedObjectPtr link = c.insertNewObject("ShareLink");
  link->setValuesForKeys({{"entryId", "KS"}, {"shareUrl", "https://s.example/x"}});
  shared->setObject("shareLinkInfo", link);
  KXManagedObjectPtr linkOnly = put("Note", {{"fileId", "KL"}, {"parentId", "K"}});
  linkOnly->setObject("shareLinkInfo", c.insertNewObject("ShareLink"));
}

// The entries of PutEveryFieldKind's folder "K" as JSON, entire and alone,
// as the entries built from its objects were written before the rows route
// took over: the text the web interface has always been given.
constexpr const char* kEveryFieldKindEntire =
    R"json([{"fileEntry":{"id":"KD","parentId":"K","name":"Réunions 会議 🎉","createTime":1600000000000,"remoteRemoved":false,"favorited":true,"entryProps":{},"tags":"","userId":"EmptyUser","subTreeDirNum":2,"domain":1,"dir":true},"fileMeta":{"resources":[],"metaProps":{},"author":null,"sourceURL":null},"otherProp":{"pn":"Réunions"}},{"fileEntry":{"id":"KN","parentId":"K","name":"quote \" back \\ tab \t nl \n ctl \u0001 end","version":-7,"createTime":1500000000123,"modifyTime":1500000999000,"remoteRemoved":false,"encrypted":false,"tags":"1,2","summary":"  line sep","fileSize":1234567890123,"entryProps":{"k":"v","n":1,"orgEditorType":2,"stick":true,"stickTime":1500000000000},"userId":"EmptyUser","domain":0,"dir":false},"fileMeta":{"author":"Ann","resources":[],"metaProps":{},"sourceURL":null},"otherProp":{"pn":"KN"}},{"fileEntry":{"id":"KX","parentId":"K","name":"gone","dir":false,"domain":0,"deleted":true,"remoteRemoved":false,"entryProps":{},"tags":"","userId":"EmptyUser"},"fileMeta":{"resources":[],"metaProps":{},"author":null,"sourceURL":null},"otherProp":{}},{"fileEntry":{"id":"KF","parentId":"K","name":"f.pdf","remoteRemoved":false,"fileSize":0,"entryProps":{},"tags":"","userId":"EmptyUser","domain":1,"dir":false},"fileMeta":{"resources":[],"metaProps":{},"author":null,"sourceURL":null},"otherProp":{}},{"fileEntry":{"id":"KP","parentId":"K","remoteRemoved":false,"entryProps":{},"tags":"","userId":"EmptyUser","domain":0,"dir":false},"fileMeta":{"sourceURL":"https://e.example/a?b=1","metaProps":{"thmv":"thmv","thmid":"KP3"},"resources":[{"resourceId":"KP1","version":4,"resourceType":1},{"resourceId":"KP2","version":4,"resourceType":2},{"resourceId":"KP3","version":4,"resourceType":1},{"resourceId":"KP4","version":4,"resourceType":1}],"author":null},"otherProp":{}},{"fileEntry":{"id":"KS","parentId":"K","name":"s","remoteRemoved":false,"shared":true,"shareUrl":"https://s.example/x","entryProps":{},"tags":"","userId":"EmptyUser","domain":0,"dir":false},"fileMeta":{"resources":[],"metaProps":{},"author":null,"sourceURL":null},"otherProp":{}},{"fileEntry":{"id":"KL","parentId":"K","remoteRemoved":false,"shared":true,"entryProps":{},"tags":"","userId":"EmptyUser","domain":0,"dir":false},"fileMeta":{"resources":[],"metaProps":{},"author":null,"sourceURL":null},"otherProp":{}}])json";
constexpr const char* kEveryFieldKindAlone =
    R"json([{"id":"KD","parentId":"K","name":"Réunions 会議 🎉","createTime":1600000000000,"remoteRemoved":false,"favorited":true,"entryProps":{},"tags":"","userId":"EmptyUser","subTreeDirNum":2,"domain":1,"dir":true},{"id":"KN","parentId":"K","name":"quote \" back \\ tab \t nl \n ctl \u0001 end","version":-7,"createTime":1500000000123,"modifyTime":1500000999000,"remoteRemoved":false,"encrypted":false,"tags":"1,2","summary":"  line sep","fileSize":1234567890123,"entryProps":{"k":"v","n":1,"orgEditorType":2,"stick":true,"stickTime":1500000000000},"userId":"EmptyUser","domain":0,"dir":false},{"id":"KX","parentId":"K","name":"gone","dir":false,"domain":0,"deleted":true,"remoteRemoved":false,"entryProps":{},"tags":"","userId":"EmptyUser"},{"id":"KF","parentId":"K","name":"f.pdf","remoteRemoved":false,"fileSize":0,"entryProps":{},"tags":"","userId":"EmptyUser","domain":1,"dir":false},{"id":"KP","parentId":"K","remoteRemoved":false,"entryProps":{},"tags":"","userId":"EmptyUser","domain":0,"dir":false},{"id":"KS","parentId":"K","name":"s","remoteRemoved":false,"shared":true,"shareUrl":"https://s.example/x","entryProps":{},"tags":"","userId":"EmptyUser","domain":0,"dir":false},{"id":"KL","parentId":"K","remoteRemoved":false,"shared":true,"entryProps":{},"tags":"","userId":"EmptyUser","domain":0,"dir":false}])json";

std::string Text(const kx::Array& entries) {
  kx::Bytes json = JSONData(entries);
  return std::string(json.begin(), json.end());
}

class FileMetaWebUtilTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    util_ = std::make_unique<KXFileMetaWebUtil>(*client_);
  }
  void TearDown() override {
    util_.reset();
    DataClientFixture::TearDown();
  }

  static KXManagedObjectPtr Put(KXManagedObjectContext& c, const std::string& entity,
                                const kx::Dictionary& fields) {
    KXManagedObjectPtr object = c.insertNewObject(entity);
    if (object && object->isKindOfEntity("FileMeta") && !object->isKindOfEntity("Root")) {
      object->setValue("del", false);
      object->setValue("remoteRemoved", false);
    }
    EXPECT_TRUE(object && object->setValuesForKeys(fields)) << entity;
    return object;
  }
  kx::Dictionary Entry(const std::string& fileId, bool entire) {
    std::optional<kx::Dictionary> built =
        util_->entryFromFileMeta(client_->reads().objectForFileMetaID(fileId), entire);
    EXPECT_TRUE(built) << fileId;
    return built ? *built : kx::Dictionary();
  }

  std::unique_ptr<KXFileMetaWebUtil> util_;
};

TEST_F(FileMetaWebUtilTest, EachKindGetsItsDefaults) {
  Write([](KXManagedObjectContext& c) {
    Put(c, "Root", {{"fileId", ""}, {"title", "My Notes"}});
    Put(c, "Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "A"}});
    Put(c, "Notebook", {{"fileId", "NB1"}, {"parentId", "NB"}, {"title", "A1"}});
    Put(c, "Notebook", {{"fileId", "NB2"}, {"parentId", "NB"}, {"del", true}});
    Put(c, "Note", {{"fileId", "N"}, {"parentId", "NB"}, {"title", "n.note"}, {"tags", "7"}});
    Put(c, "NormalFile", {{"fileId", "F"}, {"parentId", "NB"}, {"title", "f.pdf"}});
    Put(c, "Note", {{"fileId", "N_odd"}, {"parentId", "NB"}, {"domain", 5}, {"dir", true}});
    Put(c, "Notebook", {{"fileId", "NB_odd"}, {"parentId", "NB"}, {"domain", 5}});
  });
  struct Case {
    const char* fileId;
    kx::Value domain, dir;
    std::optional<unsigned> subTreeDirNum;
    const char* tags;
  };
  const Case cases[] = {
      {"NB", 1, true, 3u, ""},  // the deleted child notebook counts
      {"N", 0, false, std::nullopt, "7"},
      {"F", 1, false, std::nullopt, ""},
      {"N_odd", 5, true, std::nullopt, ""},  // both stored: kept
      {"NB_odd", 1, true, 0u, ""},           // only one stored: from the kind
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fileId);
    kx::Dictionary both = Entry(c.fileId, true);
    const kx::Value& entry = both["entry"];
    const kx::Value& meta = both["meta"];
    EXPECT_EQ(entry["id"].stringValue(), c.fileId);
    EXPECT_EQ(entry["domain"].intValue(), c.domain.intValue());
    EXPECT_EQ(entry["dir"].boolValue(), c.dir.boolValue());
    EXPECT_EQ(entry.contains("subTreeDirNum"), c.subTreeDirNum.has_value());
    if (c.subTreeDirNum) EXPECT_EQ(entry["subTreeDirNum"].intValue(), *c.subTreeDirNum);
    EXPECT_EQ(entry["tags"].stringValue(), c.tags);
    EXPECT_EQ(entry["userId"].stringValue(), "EmptyUser");
    EXPECT_TRUE(entry["entryProps"].isDictionary());
    EXPECT_TRUE(meta["resources"].isArray());
    EXPECT_EQ(meta["resources"].size(), 0u);
    EXPECT_EQ(meta["metaProps"], kx::Value(kx::Dictionary()));
    ASSERT_TRUE(meta.contains("author") && meta.contains("sourceURL"));
    EXPECT_TRUE(meta["author"].isNull() && meta["sourceURL"].isNull());
  }
  // An empty id under "0" is the root's.
  kx::Dictionary root = Entry("ROOT", false);
  EXPECT_EQ(root["id"].stringValue(), "ROOT");
  EXPECT_EQ(root["name"].stringValue(), "My Notes");
  // Not a file entry: the defaults only.
  std::optional<kx::Dictionary> none = util_->entryFromFileMeta(nullptr, true);
  ASSERT_TRUE(none);
  EXPECT_EQ((*none)["entry"]["tags"].stringValue(), "");
  EXPECT_FALSE((*none)["entry"].contains("domain"));
}

TEST_F(FileMetaWebUtilTest, LargestImageOfAtLeast70By55IsTheThumbnail) {
  struct Res {
    const char* id;
    const char* type;
    const char* size;
  };
  struct Case {
    std::vector<Res> resources;
    const char* thumbnail;  // nullptr: none
  };
  const std::vector<Case> cases = {
      {{{"R1", "image", "100x100"}, {"R2", "image", "200x60"}}, "R2"},
      {{{"R2", "image", "100x100"}, {"R1", "image", "200x50"}}, "R2"},  // equal: greater id
      {{{"R1", "image", "69x1000"}, {"R2", "image", "70x55"}}, "R2"},
      {{{"R1", "attachment", "500x500"}}, nullptr},
      // Sizes of another form are skipped, never trusted.
      {{{"R1", "image", "abcxdef"},
        {"R2", "image", "100x"},
        {"R3", "image", "100x200x3"},
        {"R4", "image", "1e400x100"},
        {"R5", "image", ""}},
       nullptr},
      {{{"R1", "image", "300x300"}, {"R2", "image", "oops"}}, "R1"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string noteId = "N" + std::to_string(n++);
    Write([&](KXManagedObjectContext& ctx) {
      KXManagedObjectPtr note = Put(ctx, "Note", {{"fileId", noteId}, {"parentId", "ROOT"}});
      for (const Res& r : c.resources) {
        KXManagedObjectPtr res = Put(ctx, "Resource",
                                     {{"fileId", noteId + r.id},
                                      {"meidaType", r.type},
                                      {"imageSize", r.size},
                                      {"version", 3}});
        note->addObject("resources", res);
      }
    });
    SCOPED_TRACE(noteId);
    kx::Dictionary both = Entry(noteId, true);
    const kx::Value& meta = both["meta"];
    ASSERT_EQ(meta["resources"].size(), c.resources.size());
    EXPECT_EQ(meta["resources"][0]["version"].intValue(), 3);
    EXPECT_EQ(meta["resources"][0].contains("resourceType"),
              std::string(c.resources[0].type) == "image" ||
                  std::string(c.resources[0].type) == "attachment");
    if (c.thumbnail) {
      EXPECT_EQ(meta["metaProps"],
                kx::Value::dict({{"thmv", "thmv"}, {"thmid", noteId + c.thumbnail}}));
    } else {
      EXPECT_EQ(meta["metaProps"], kx::Value(kx::Dictionary()));
    }
  }
}

TEST_F(FileMetaWebUtilTest, FileDictionaryFormsAndOtherProperties) {
  Write([](KXManagedObjectContext& c) {
    Put(c, "Root", {{"fileId", "ROOT"}});
    Put(c, "Notebook", {{"fileId", "NB_W"}, {"parentId", "ROOT"}, {"title", "Work"}});
    Put(c, "Note", {{"fileId", "N"}, {"parentId", "NB_W"}, {"namePath", "/Old/Work"}});
    Put(c, "Note", {{"fileId", "M"}, {"parentId", "NB_W"}, {"namePath", ""}});
  });
  KXFileMetaPtr note = client_->reads().objectForFileMetaID("N");
  client_->reads().setParentNameForResult({note});
  std::optional<kx::Dictionary> shortForm = util_->fileDictFrom(note, false);
  ASSERT_TRUE(shortForm);
  EXPECT_EQ(*shortForm, *util_->entryFromFileMeta(note, false));

  std::optional<kx::Dictionary> file = util_->fileDictFrom(note, true);
  ASSERT_TRUE(file);
  EXPECT_EQ((*file)["fileEntry"]["id"].stringValue(), "N");
  EXPECT_TRUE((*file)["fileMeta"]["resources"].isArray());
  EXPECT_EQ((*file)["otherProp"], kx::Value::dict({{"pn", "Work"}, {"parentName", "Work"}}));
  std::optional<kx::Dictionary> bare =
      util_->fileDictFrom(client_->reads().objectForFileMetaID("M"), true);
  EXPECT_EQ((*bare)["otherProp"], kx::Value(kx::Dictionary()));
}

// A folder's entries built together, their resources read at once, are the
// entries built one by one.
TEST_F(FileMetaWebUtilTest, EntriesBuiltTogetherEqualEntriesBuiltAlone) {
  Write([](KXManagedObjectContext& c) {
    Put(c, "Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "A"}});
    Put(c, "Notebook", {{"fileId", "NB1"}, {"parentId", "NB"}, {"title", "A1"}});
    Put(c, "NormalFile", {{"fileId", "F"}, {"parentId", "NB"}, {"title", "f.pdf"}});
    for (int n = 0; n < 3; ++n) {
      const std::string id = "N" + std::to_string(n);
      KXManagedObjectPtr note = Put(c, "Note", {{"fileId", id}, {"parentId", "NB"}});
      // N0 has none; N1 one; N2 two, the later one the thumbnail.
      for (int r = 0; r < n; ++r) {
        KXManagedObjectPtr res = Put(c, "Resource",
                                     {{"fileId", id + "R" + std::to_string(r)},
                                      {"meidaType", "image"},
                                      {"imageSize", r ? "300x300" : "100x100"}});
        note->addObject("resources", res);
      }
    }
  });
  KXFileMetaArray list = client_->reads().objectsForParentId("NB", "FileMeta");
  ASSERT_EQ(list.size(), 5u);
  list.insert(list.begin() + 2, nullptr);
  for (bool entire : {true, false}) {
    SCOPED_TRACE(entire);
    kx::Array alone;
    for (const KXFileMetaPtr& meta : list) {
      if (std::optional<kx::Dictionary> dict = util_->fileDictFrom(meta, entire)) {
        alone.push_back(kx::Value(std::move(*dict)));
      }
    }
    kx::Array together = util_->fileDictsFrom(list, entire);
    EXPECT_EQ(together, alone);
    if (entire) {
      ASSERT_EQ(together.size(), 6u);
      EXPECT_EQ(together[5]["fileMeta"]["resources"].size(), 2u);
      EXPECT_EQ(together[5]["fileMeta"]["metaProps"]["thmid"].stringValue(), "N2R1");
    }
  }
}

// A folder's entries built from its rows are the text its objects gave,
// byte for byte, for every kind of field; objects held elsewhere in the
// read context bring what they hold in memory to both routes alike.
TEST_F(FileMetaWebUtilTest, RowsGiveTheEntriesOfTheObjectsByteForByte) {
  Write(PutEveryFieldKind);
  const std::string entire = kEveryFieldKindEntire;
  const std::string alone = kEveryFieldKindAlone;
  EXPECT_EQ(Text(util_->fileDictsFromRows(client_->reads().rowsForParentId("K"), true)), entire);
  EXPECT_EQ(Text(util_->fileDictsFromRows(client_->reads().rowsForParentId("K"), false)), alone);
  EXPECT_EQ(Text(util_->fileDictsFrom(client_->reads().objectsForParentId("K", "FileMeta"), true)),
            entire);

  // A live object of the read context, changed in memory and given its
  // parent's name by a listing: the rows take it as the objects do.
  KXFileMetaPtr note = client_->reads().objectForFileMetaID("KN");
  ASSERT_TRUE(note);
  client_->reads().performSyncReadBlock([&] { note->setValue("title", "in memory"); });
  note->setParentName("Kinds");
  for (bool whole : {true, false}) {
    SCOPED_TRACE(whole);
    const std::string fromRows =
        Text(util_->fileDictsFromRows(client_->reads().rowsForParentId("K"), whole));
    EXPECT_EQ(fromRows, Text(util_->fileDictsFrom(
                            client_->reads().objectsForParentId("K", "FileMeta"), whole)));
    EXPECT_NE(fromRows.find("\"name\":\"in memory\""), std::string::npos);
    EXPECT_EQ(fromRows.find("quote"), std::string::npos);
    EXPECT_EQ(fromRows.find("\"parentName\":\"Kinds\"") != std::string::npos, whole);
  }

  // The root, whose object fixes values its row may not hold (a row
  // written by an older program says it is encrypted), and an empty parent
  // id.
  Write([](KXManagedObjectContext& c) {
    KXManagedObjectPtr root = c.insertNewObject("Root");
    ASSERT_TRUE(root && root->setValuesForKeys({{"fileId", "ROOT"}, {"title", "All"}}));
  });
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(data_->storePath().c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "UPDATE \"FileMeta\" SET \"encrypted\" = 1 WHERE \"fileId\" = 'ROOT'",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::string root =
      Text(util_->fileDictsFromRows(client_->reads().rowsForParentId("0"), false));
  EXPECT_NE(root.find("\"encrypted\":false"), std::string::npos) << root;
  EXPECT_EQ(Text(util_->fileDictsFromRows(client_->reads().rowsForParentId("0"), true)),
            Text(util_->fileDictsFrom(client_->reads().objectsForParentId("0", "FileMeta"), true)));
  EXPECT_TRUE(client_->reads().rowsForParentId("").empty());
}

}  // namespace
