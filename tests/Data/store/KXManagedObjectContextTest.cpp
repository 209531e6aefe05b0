#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "Data/StoreTestSupport.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Note.h"
#include "Data/entities/Notebook.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "Data/entities/Root.h"
#include "Data/entities/ShareLink.h"
#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"
#include "Data/store/KXStoreError.h"
#include "platform/NotificationCenter.h"
#include "support/TempAppRoot.h"

namespace {

using Role = KXManagedObjectContext::Role;

KXPredicatePtr P(const char* format, kx::Array args = {}) {
  kx::Error e;
  KXPredicatePtr p = KXPredicate::withFormat(format, args, &e);
  EXPECT_TRUE(p) << format << ": " << e.localizedDescription();
  return p;
}

class ContextTest : public ::testing::Test {
 protected:
  void SetUp() override { open(); }
  void TearDown() override {
    if (observer_) kx::NotificationCenter::defaultCenter().removeObserver(observer_);
  }

  void open(const std::string& vfs = "") {
    writer_.reset();
    reader_.reset();
    store_.reset();
    kx::Error e;
    store_ = KXPersistentStore::open(root_.path() + "/ZarvelNote.db", vfs, &e);
    ASSERT_TRUE(store_) << e.localizedDescription();
    writer_ = KXManagedObjectContext::create(store_, Role::Writer);
    reader_ = KXManagedObjectContext::create(store_, Role::Reader);
  }

  // Records the did-save notifications of the writer.
  void listen() {
    if (observer_) kx::NotificationCenter::defaultCenter().removeObserver(observer_);
    observer_ = kx::NotificationCenter::defaultCenter().addObserver(
        kKXContextDidSaveNotification, writer_.get(), nullptr,
        [this](const kx::Notification& n) { saves_.push_back(n.userInfo); });
  }

  std::shared_ptr<FileMeta> insert(const char* entity, const std::string& fileId,
                                   kx::Dictionary values = {}) {
    auto object = KXCast<FileMeta>(writer_->insertNewObject(entity));
    EXPECT_TRUE(object);
    if (!object) return nullptr;
    EXPECT_TRUE(object->setValue("fileId", kx::Value(fileId)));
    EXPECT_TRUE(object->setValuesForKeys(values));
    return object;
  }

  std::vector<std::string> fileIds(KXManagedObjectContext& context, const char* entity,
                                   KXPredicatePtr predicate = nullptr) {
    kx::Error e;
    std::vector<std::string> out;
    for (const auto& o : context.fetch(KXFetchRequest(entity, predicate), &e)) {
      out.push_back(o->stringValue("fileId"));
    }
    EXPECT_FALSE(e) << e.localizedDescription();
    return out;
  }

  kxtest::TempAppRoot root_;
  std::shared_ptr<KXPersistentStore> store_;
  std::shared_ptr<KXManagedObjectContext> writer_;
  std::shared_ptr<KXManagedObjectContext> reader_;
  kx::NotificationCenter::Token observer_ = 0;
  std::vector<kx::Value> saves_;
};

using Ids = std::vector<std::string>;

TEST_F(ContextTest, VisibilityMatrix) {
  listen();
  // Unsaved insert: seen on the write connection only.
  insert("Note", "N1", {{"title", kx::Value("first")}});
  EXPECT_EQ(fileIds(*writer_, "Note"), Ids{"N1"});
  EXPECT_EQ(fileIds(*reader_, "Note"), Ids{});
  EXPECT_TRUE(writer_->hasChanges());
  ASSERT_TRUE(writer_->save());
  EXPECT_FALSE(writer_->hasChanges());
  EXPECT_EQ(fileIds(*reader_, "Note"), Ids{"N1"});

  // Unsaved update.
  auto readerNote = KXCast<FileMeta>(reader_->fetch(KXFetchRequest("Note")).at(0));
  auto writerNote = KXCast<FileMeta>(writer_->fetch(KXFetchRequest("Note")).at(0));
  ASSERT_TRUE(writerNote->setValue("title", kx::Value("second")));
  EXPECT_EQ(fileIds(*writer_, "Note", P("title = %@", {"second"})), Ids{"N1"});
  EXPECT_EQ(fileIds(*reader_, "Note", P("title = %@", {"second"})), Ids{});
  ASSERT_TRUE(writer_->save());
  // The reader's live object takes the saved values from the notification,
  // without being fetched again.
  EXPECT_EQ(readerNote->title(), "first");
  ASSERT_EQ(saves_.size(), 2u);
  reader_->mergeChanges(saves_.back());
  EXPECT_EQ(readerNote->title(), "second");

  // Unsaved delete.
  writer_->deleteObject(writerNote);
  EXPECT_TRUE(writerNote->isDeleted());
  EXPECT_EQ(fileIds(*writer_, "Note"), Ids{});
  EXPECT_EQ(fileIds(*reader_, "Note"), Ids{"N1"});
  ASSERT_TRUE(writer_->save());
  reader_->mergeChanges(saves_.back());
  EXPECT_TRUE(readerNote->isDeleted());
  EXPECT_EQ(fileIds(*reader_, "Note"), Ids{});
  EXPECT_EQ(fileIds(*writer_, "Note"), Ids{});
}

TEST_F(ContextTest, DidSaveNotificationCarriesIdsAndSnapshots) {
  listen();
  ASSERT_TRUE(writer_->save());  // nothing to save: no notification
  EXPECT_TRUE(saves_.empty());

  auto a = insert("Note", "A");
  auto b = insert("Notebook", "B");
  ASSERT_TRUE(writer_->save());
  ASSERT_EQ(saves_.size(), 1u);
  const kx::Value& first = saves_[0];
  EXPECT_EQ(first[kKXStoreTokenKey].intValue(), store_->token());
  ASSERT_EQ(first[kKXInsertedObjectsKey].size(), 2u);
  EXPECT_EQ(KXObjectID::fromValue(first[kKXInsertedObjectsKey][0]), a->objectID());
  EXPECT_EQ(first[kKXUpdatedObjectsKey].size(), 0u);

  a->setValue("del", kx::Value(true));
  writer_->deleteObject(b);
  auto c = insert("Note", "C");
  writer_->deleteObject(c);  // inserted and deleted before the save: not reported
  ASSERT_TRUE(writer_->save());
  ASSERT_EQ(saves_.size(), 2u);
  const kx::Value& second = saves_[1];
  EXPECT_EQ(second[kKXInsertedObjectsKey].size(), 0u);
  ASSERT_EQ(second[kKXUpdatedObjectsKey].size(), 1u);
  const kx::Value& snapshot = second[kKXUpdatedObjectsKey][0];
  EXPECT_EQ(snapshot[kKXSnapshotEntityKey], kx::Value("Note"));
  EXPECT_EQ(snapshot["fileId"], kx::Value("A"));
  EXPECT_EQ(snapshot["del"], kx::Value(true));
  EXPECT_EQ(snapshot.find("title"), nullptr);  // not written by this unit
  ASSERT_EQ(second[kKXDeletedObjectsKey].size(), 1u);
  EXPECT_EQ(KXObjectID::fromValue(second[kKXDeletedObjectsKey][0]), b->objectID());
}

TEST_F(ContextTest, DidSaveSnapshotsHoldWhatTheirUnitWrote) {
  listen();
  auto note = insert("Note", "A", {{"title", kx::Value("t1")}, {"summary", kx::Value("s1")}});
  ASSERT_TRUE(writer_->save());
  auto readerNote = KXCast<FileMeta>(reader_->fetch(KXFetchRequest("Note")).at(0));

  // One column written early (a fetch flushes it), one at the save.
  ASSERT_TRUE(note->setValue("summary", kx::Value("s2")));
  EXPECT_EQ(fileIds(*writer_, "Note"), Ids{"A"});
  ASSERT_TRUE(note->setValue("md5", kx::Value("m2")));
  ASSERT_TRUE(writer_->save());
  // The next unit reports its own column only, not those of the insert or
  // of the unit before.
  ASSERT_TRUE(note->setValue("title", kx::Value("t3")));
  ASSERT_TRUE(writer_->save());
  ASSERT_EQ(saves_.size(), 3u);

  struct Expected {
    std::size_t save;
    Ids present;
    Ids absent;
  };
  const Expected table[] = {
      {1, {"summary", "md5", "fileId", "del", "remoteRemoved"}, {"title", "version"}},
      {2, {"title", "fileId", "del", "remoteRemoved"}, {"summary", "md5", "version"}},
  };
  for (const Expected& row : table) {
    ASSERT_EQ(saves_[row.save][kKXUpdatedObjectsKey].size(), 1u);
    const kx::Value& snapshot = saves_[row.save][kKXUpdatedObjectsKey][0];
    EXPECT_EQ(KXObjectID::fromValue(snapshot[kKXSnapshotObjectIDKey]), note->objectID());
    for (const std::string& key : row.present) {
      EXPECT_NE(snapshot.find(key), nullptr) << "save " << row.save << ": " << key;
    }
    for (const std::string& key : row.absent) {
      EXPECT_EQ(snapshot.find(key), nullptr) << "save " << row.save << ": " << key;
    }
  }
  EXPECT_EQ(saves_[1][kKXUpdatedObjectsKey][0]["summary"], kx::Value("s2"));
  EXPECT_EQ(saves_[1][kKXUpdatedObjectsKey][0]["fileId"], kx::Value("A"));
  EXPECT_EQ(saves_[2][kKXUpdatedObjectsKey][0]["title"], kx::Value("t3"));

  // Merged in order, the partial snapshots leave the read context's object
  // with every saved value.
  reader_->mergeChanges(saves_[1]);
  reader_->mergeChanges(saves_[2]);
  EXPECT_EQ(readerNote->title(), "t3");
  EXPECT_EQ(readerNote->stringValue("summary"), "s2");
  EXPECT_EQ(readerNote->stringValue("md5"), "m2");
}

TEST_F(ContextTest, IdentityMapAndPermanentIds) {
  auto note = insert("Note", "N");
  KXObjectID id = note->objectID();
  EXPECT_FALSE(id.isNull());
  EXPECT_TRUE(note->isInserted());
  EXPECT_EQ(writer_->fetch(KXFetchRequest("FileMeta")).at(0).get(), note.get());
  EXPECT_EQ(writer_->existingObject(id).get(), note.get());
  ASSERT_TRUE(writer_->save());
  EXPECT_FALSE(note->isInserted());
  EXPECT_EQ(note->objectID(), id);

  // The same ID names the row in the read context; one object per row there too.
  auto inReader = reader_->existingObject(id);
  ASSERT_TRUE(inReader);
  EXPECT_NE(inReader.get(), note.get());
  EXPECT_EQ(reader_->fetch(KXFetchRequest("Note")).at(0).get(), inReader.get());
  EXPECT_TRUE(KXCast<Note>(inReader));

  // The map holds objects weakly.
  std::weak_ptr<KXManagedObject> weak = inReader;
  inReader.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(reader_->existingObject(id));

  // Keys are never given out twice, even after the newest row is deleted.
  writer_->deleteObject(note);
  ASSERT_TRUE(writer_->save());
  EXPECT_EQ(reader_->existingObject(id), nullptr);
  auto next = insert("Note", "M");
  EXPECT_GT(next->objectID().primaryKey(), id.primaryKey());
  ASSERT_TRUE(writer_->save());
  // Nor after a reopen of the file.
  std::int64_t last = next->objectID().primaryKey();
  writer_->deleteObject(next);
  ASSERT_TRUE(writer_->save());
  note.reset();
  next.reset();
  open();
  EXPECT_GT(insert("Note", "O")->objectID().primaryKey(), last);
}

TEST_F(ContextTest, InheritanceAndStoreOrder) {
  insert("Notebook", "nb");
  insert("Note", "n1");
  insert("Root", "ROOT");
  insert("NormalFile", "f");
  insert("Note", "n2");
  ASSERT_TRUE(writer_->save());
  for (auto* context : {writer_.get(), reader_.get()}) {
    EXPECT_EQ(fileIds(*context, "FileMeta"), (Ids{"nb", "n1", "ROOT", "f", "n2"}));
    EXPECT_EQ(fileIds(*context, "Notebook"), (Ids{"nb", "ROOT"}));
    EXPECT_EQ(fileIds(*context, "Root"), Ids{"ROOT"});
    EXPECT_EQ(fileIds(*context, "Note"), (Ids{"n1", "n2"}));
    auto all = context->fetch(KXFetchRequest("FileMeta"));
    EXPECT_TRUE(KXCast<Root>(all[2]));
    EXPECT_TRUE(KXCast<Notebook>(all[2])->isRoot());
    EXPECT_FALSE(KXCast<Notebook>(all[0])->isRoot());
  }
}

TEST_F(ContextTest, FetchOptions) {
  for (int i = 0; i < 6; ++i) {
    insert("Note", "n" + std::to_string(i), {{"version", kx::Value(i % 2)}});
  }
  ASSERT_TRUE(writer_->save());
  KXFetchRequest r("Note");
  r.fetchLimit = 2;
  r.fetchOffset = 3;
  EXPECT_EQ(reader_->fetch(r).size(), 2u);
  EXPECT_EQ(reader_->fetch(r).at(0)->stringValue("fileId"), "n3");
  EXPECT_EQ(reader_->count(r), 2);
  EXPECT_EQ(reader_->count(KXFetchRequest("Note", P("version = 1"))), 3);

  KXFetchResult result;
  r = KXFetchRequest("Note");
  r.resultType = KXFetchRequest::ResultType::ManagedObjectID;
  ASSERT_TRUE(reader_->execute(r, &result));
  EXPECT_EQ(result.objectIDs.size(), 6u);

  // Distinct dictionaries of equal rows.
  auto a = insert("Notebook", "same");
  auto b = insert("Notebook", "same");
  ASSERT_TRUE(writer_->save());
  r = KXFetchRequest("Notebook");
  r.resultType = KXFetchRequest::ResultType::Dictionary;
  ASSERT_TRUE(reader_->execute(r, &result));
  EXPECT_EQ(result.dictionaries.size(), 2u);
  EXPECT_EQ(result.dictionaries[0], kx::Value::dict({{"fileId", kx::Value("same")}}));
  r.returnsDistinctResults = true;
  ASSERT_TRUE(reader_->execute(r, &result));
  EXPECT_EQ(result.dictionaries.size(), 1u);

  kx::Error e;
  EXPECT_FALSE(reader_->execute(KXFetchRequest("Nope"), &result, &e));
  EXPECT_EQ(e.code(), kKXStoreUnknownEntityError);
  EXPECT_FALSE(reader_->execute(KXFetchRequest("Note", P("noteCount = 1")), &result, &e));
  EXPECT_EQ(e.code(), kKXStoreUnknownKeyError);
}

TEST_F(ContextTest, BadValuesNeverReachTheStore) {
  auto note = insert("Note", "N", {{"version", kx::Value("12")}, {"title", kx::Value(5)}});
  EXPECT_EQ(note->value("version"), kx::Value(12));
  EXPECT_EQ(note->value("title"), kx::Value("5"));
  EXPECT_FALSE(note->setValue("dir", kx::Value("maybe")));
  EXPECT_FALSE(note->setValue("version", kx::Value("twelve")));
  EXPECT_FALSE(note->setValue("noSuchKey", kx::Value(1)));
  EXPECT_FALSE(note->setValue("entryProps", kx::Value(3)));
  EXPECT_FALSE(note->setValuesForKeys({{"size", kx::Value(1)}, {"del", kx::Value::array({})}}));
  EXPECT_EQ(note->value("size"), kx::Value(1));  // the good one is set
  EXPECT_TRUE(note->isNil("dir"));
  EXPECT_EQ(note->value("version"), kx::Value(12));
  ASSERT_TRUE(writer_->save());
  auto stored = reader_->fetch(KXFetchRequest("Note")).at(0);
  EXPECT_EQ(stored->value("version"), kx::Value(12));
  EXPECT_EQ(stored->value("size"), kx::Value(1));
  EXPECT_TRUE(stored->isNil("dir"));
}

TEST_F(ContextTest, RootKeepsItsFixedValues) {
  auto root = insert("Root", "ROOT", {{"version", kx::Value(7)}});
  // Refused by key, alone or among other keys.
  EXPECT_FALSE(root->setValue("parentId", kx::Value("P")));
  EXPECT_FALSE(root->setValuesForKeys(
      {{"del", kx::Value(true)}, {"encrypted", kx::Value(true)}, {"size", kx::Value(3)}}));
  EXPECT_EQ(root->size(), 3);
  EXPECT_EQ(root->parentId(), "0");
  EXPECT_FALSE(root->encrypted());
  EXPECT_FALSE(root->del());
  EXPECT_FALSE(root->setValue("remoteRemoved", kx::Value(true)));
  EXPECT_FALSE(root->setValue("deleted", kx::Value(true)));
  EXPECT_TRUE(root->setValue("title", kx::Value("Mine")));
  ASSERT_TRUE(writer_->save());
  // The fixed values are in the row, so conditions over the store agree.
  EXPECT_EQ(fileIds(*reader_, "FileMeta",
                    P("parentId = '0' AND del = NO AND encrypted = NO AND remoteRemoved = NO")),
            Ids{"ROOT"});
  EXPECT_EQ(reader_->fetch(KXFetchRequest("Root")).at(0)->value("version"), kx::Value(7));

  // A row written with other values (by an older client) still reads fixed.
  {
    kx::MutexLock guard(store_->writeConnection()->mutex());
    ASSERT_TRUE(store_->writeConnection()->exec(
        "UPDATE FileMeta SET parentId = 'X', del = 1 WHERE fileId = 'ROOT'", nullptr));
  }
  root.reset();
  writer_->reset();
  auto loaded = KXCast<Root>(writer_->fetch(KXFetchRequest("Root")).at(0));
  EXPECT_EQ(loaded->parentId(), "0");
  EXPECT_FALSE(loaded->del());
}

TEST_F(ContextTest, Relationships) {
  auto note = insert("Note", "N");
  auto other = insert("Note", "O");
  auto r1 = writer_->insertNewObject("Image");
  auto r2 = writer_->insertNewObject("Resource");
  auto entry = writer_->insertNewObject("ResourceEntry");
  ASSERT_TRUE(r1 && r2 && entry);
  r1->setValue("fileId", kx::Value("r1"));
  r2->setValue("fileId", kx::Value("r2"));
  ASSERT_TRUE(note->setObjects("resources", {r2, r1}));
  ASSERT_TRUE(other->addObject("resources", r1));
  ASSERT_TRUE(r1->setObject("entry", entry));
  ASSERT_TRUE(r2->setValue("entry", entry->objectID().toValue()));

  // Store order, before and after the save.
  auto names = [](const std::vector<KXManagedObjectPtr>& objects) {
    Ids out;
    for (const auto& o : objects) out.push_back(o->stringValue("fileId"));
    return out;
  };
  EXPECT_EQ(names(note->objects("resources")), (Ids{"r1", "r2"}));
  EXPECT_EQ(names(r1->objects("notes")), (Ids{"N", "O"}));
  EXPECT_EQ(KXCast<ResourceEntry>(entry)->resourceHolders().size(), 2u);
  EXPECT_EQ(r1->object("entry").get(), entry.get());
  EXPECT_EQ(note->value("resources").size(), 2u);
  ASSERT_TRUE(writer_->save());

  auto readerNote = KXCast<FileMeta>(reader_->existingObject(note->objectID()));
  ASSERT_TRUE(readerNote);
  EXPECT_EQ(readerNote->resources().size(), 2u);
  EXPECT_EQ(readerNote->resources()[0]->entry()->objectID(), entry->objectID());
  EXPECT_EQ(fileIds(*reader_, "Resource", P("notes.@count != 0")), (Ids{"r1", "r2"}));
  EXPECT_EQ(fileIds(*reader_, "Resource", P("notes.@count = 2")), Ids{"r1"});

  // Deleting a note removes its links and nothing else.
  writer_->deleteObject(note);
  EXPECT_EQ(names(r1->objects("notes")), Ids{"O"});
  EXPECT_EQ(names(r2->objects("notes")), Ids{});
  // Deleting the stored file clears the resources' key to it, in memory and
  // in the file.
  writer_->deleteObject(entry);
  EXPECT_EQ(r1->object("entry"), nullptr);
  EXPECT_TRUE(r2->isNil("entry"));
  ASSERT_TRUE(writer_->save());
  EXPECT_EQ(fileIds(*reader_, "Resource", P("entry == nil")), (Ids{"r1", "r2"}));
  EXPECT_EQ(reader_->count(KXFetchRequest("Resource")), 2);

  // Removing from a set, and a to-one share link cleared by its deletion.
  ASSERT_TRUE(other->removeObject("resources", r1));
  EXPECT_EQ(other->countOfObjects("resources"), 0u);
  auto link = writer_->insertNewObject("ShareLink");
  link->setValue("shareUrl", kx::Value("https://x"));
  ASSERT_TRUE(other->setObject("shareLinkInfo", link));
  auto otherMeta = KXCast<FileMeta>(other);
  EXPECT_TRUE(otherMeta->shared());
  EXPECT_EQ(otherMeta->shareUrl(), "https://x");
  ASSERT_TRUE(writer_->save());
  EXPECT_EQ(fileIds(*reader_, "FileMeta", P("shareLinkInfo != nil")), Ids{"O"});
  writer_->deleteObject(link);
  EXPECT_FALSE(otherMeta->shared());
  EXPECT_EQ(otherMeta->shareUrl(), std::nullopt);
  ASSERT_TRUE(writer_->save());
  EXPECT_EQ(fileIds(*reader_, "FileMeta", P("shareLinkInfo != nil")), Ids{});
}

// A set replaced by another: whatever the new members (the same ones, in
// another order, named twice, fewer, more, others, none), the note holds
// exactly them, in memory and in the file, and its save reports it.
TEST_F(ContextTest, ReplacedSetsHoldExactlyTheNewMembers) {
  auto note = insert("Note", "N");
  std::map<std::string, KXManagedObjectPtr> r;
  for (const char* id : {"r1", "r2", "r3"}) {
    r[id] = writer_->insertNewObject("Resource");
    ASSERT_TRUE(r[id]);
    ASSERT_TRUE(r[id]->setValue("fileId", kx::Value(id)));
  }
  auto names = [](const std::vector<KXManagedObjectPtr>& objects) {
    Ids out;
    for (const auto& o : objects) out.push_back(o->stringValue("fileId"));
    return out;
  };
  const struct {
    const char* what;
    Ids members;
    Ids held;
  } steps[] = {
      {"first set", {"r2", "r1"}, {"r1", "r2"}},
      {"the same set", {"r1", "r2"}, {"r1", "r2"}},
      {"the same set in another order", {"r2", "r1"}, {"r1", "r2"}},
      {"the same members, one named twice", {"r1", "r2", "r1"}, {"r1", "r2"}},
      {"one named twice, another left out", {"r1", "r1"}, {"r1"}},
      {"one more", {"r1", "r3"}, {"r1", "r3"}},
      {"others", {"r2"}, {"r2"}},
      {"none", {}, {}},
      {"none again", {}, {}},
      {"back", {"r3", "r2", "r1"}, {"r1", "r2", "r3"}},
  };
  listen();
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    std::vector<KXManagedObjectPtr> members;
    for (const std::string& id : step.members) members.push_back(r[id]);
    ASSERT_TRUE(note->setObjects("resources", members));
    EXPECT_EQ(names(note->objects("resources")), step.held);
    saves_.clear();
    ASSERT_TRUE(writer_->save());
    ASSERT_EQ(saves_.size(), 1u) << "the save reports the note changed";
    auto stored = KXCast<FileMeta>(reader_->existingObject(note->objectID()));
    ASSERT_TRUE(stored);
    EXPECT_EQ(names(stored->objects("resources")), step.held);
  }
}

// A to-many set read ahead for many objects at once is the set each object
// reads on its own: the same live objects in the same order, through a join
// table and through a foreign key, for objects with no rows, with unsaved
// changes in the writer, and again after later changes and commits.
TEST_F(ContextTest, PrefetchedSetsEqualTheSetsReadOneByOne) {
  auto resource = [&](const char* id, const KXManagedObjectPtr& entry) {
    auto r = writer_->insertNewObject("Resource");
    EXPECT_TRUE(r && r->setValue("fileId", kx::Value(id)));
    if (entry) EXPECT_TRUE(r->setObject("entry", entry));
    return r;
  };
  auto e1 = writer_->insertNewObject("ResourceEntry");
  auto e2 = writer_->insertNewObject("ResourceEntry");
  auto r1 = resource("r1", e1);
  auto r2 = resource("r2", e1);
  auto r3 = resource("r3", nullptr);
  auto n1 = insert("Note", "N1");
  auto n2 = insert("Note", "N2");
  auto n3 = insert("Note", "N3");
  ASSERT_TRUE(n1->setObjects("resources", {r2, r1}));
  ASSERT_TRUE(n2->addObject("resources", r1));
  ASSERT_TRUE(writer_->save());

  using Sets = std::vector<std::vector<KXManagedObjectPtr>>;
  auto read = [](const std::vector<KXManagedObjectPtr>& owners, const char* key) {
    Sets sets;
    for (const auto& owner : owners) sets.push_back(owner->objects(key));
    return sets;
  };
  auto ids = [](const std::vector<KXManagedObjectPtr>& objects) {
    Ids out;
    for (const auto& o : objects) out.push_back(o->stringValue("fileId"));
    return out;
  };
  KXFetchRequest notes("Note");
  KXFetchRequest prefetching = notes;
  prefetching.relationshipKeyPathsForPrefetching = {"resources", "resources.notes", "title"};

  // Unsaved in the writer: a new resource of N3, a resource moved to the
  // other entry, a changed note.
  auto r4 = resource("r4", nullptr);
  ASSERT_TRUE(n3->addObject("resources", r4));
  ASSERT_TRUE(r2->setObject("entry", e2));
  ASSERT_TRUE(n2->setValue("title", kx::Value("unsaved")));

  for (const auto& context : {writer_, reader_}) {
    SCOPED_TRACE(context == writer_ ? "writer" : "reader");
    // Read one by one first (the objects stay alive, so the prefetching
    // fetch answers the same ones), then read ahead and read again.
    std::vector<KXManagedObjectPtr> owners = context->fetch(notes);
    ASSERT_EQ(owners.size(), 3u);
    const Sets alone = read(owners, "resources");
    std::vector<KXManagedObjectPtr> members;
    for (const auto& set : alone) members.insert(members.end(), set.begin(), set.end());
    const Sets membersAlone = read(members, "notes");
    std::vector<KXManagedObjectPtr> entries = context->fetch(KXFetchRequest("ResourceEntry"));
    const Sets holdersAlone = read(entries, "resourceHolders");

    EXPECT_EQ(context->fetch(prefetching), owners);
    context->prefetchRelationships(entries, {"resourceHolders", "noSuchKey"});
    EXPECT_EQ(read(owners, "resources"), alone);
    EXPECT_EQ(read(members, "notes"), membersAlone);
    EXPECT_EQ(read(entries, "resourceHolders"), holdersAlone);

    const bool unsaved = context == writer_;
    EXPECT_EQ(ids(alone[0]), (Ids{"r1", "r2"}));
    EXPECT_EQ(ids(alone[2]), unsaved ? Ids{"r4"} : Ids{});
    EXPECT_EQ(ids(holdersAlone[0]), unsaved ? Ids{"r1"} : (Ids{"r1", "r2"}));
    EXPECT_EQ(ids(holdersAlone[1]), unsaved ? Ids{"r2"} : Ids{});
  }

  // Later changes in the writer are seen at once.
  auto owners = writer_->fetch(prefetching);
  ASSERT_EQ(owners.size(), 3u);
  auto entries = writer_->fetch(KXFetchRequest("ResourceEntry"));
  writer_->prefetchRelationships(entries, {"resourceHolders"});
  ASSERT_TRUE(n1->removeObject("resources", r2));
  EXPECT_EQ(ids(n1->objects("resources")), Ids{"r1"});
  ASSERT_TRUE(r3->setObject("entry", e1));
  EXPECT_EQ(ids(e1->objects("resourceHolders")), (Ids{"r1", "r3"}));
  writer_->deleteObject(r1);
  EXPECT_EQ(ids(n2->objects("resources")), Ids{});
  EXPECT_EQ(ids(e1->objects("resourceHolders")), Ids{"r3"});

  // The reader's sets, read ahead before the commit, are read again after.
  auto readOwners = reader_->fetch(prefetching);
  ASSERT_EQ(ids(readOwners.at(0)->objects("resources")), (Ids{"r1", "r2"}));
  ASSERT_TRUE(writer_->save());
  EXPECT_EQ(ids(readOwners.at(0)->objects("resources")), Ids{});
  EXPECT_EQ(ids(readOwners.at(2)->objects("resources")), Ids{"r4"});

  // Kept sets answer without the store: a row removed behind the contexts'
  // back (no commit of theirs) is still in the set read ahead, and a change
  // in the context makes it read again.
  readOwners = reader_->fetch(prefetching);
  ASSERT_EQ(ids(readOwners.at(2)->objects("resources")), Ids{"r4"});
  const KXRelationshipDescription* rel =
      KXModel::shared().entity("FileMeta")->relationship("resources");
  ASSERT_TRUE(rel);
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open((root_.path() + "/ZarvelNote.db").c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, ("DELETE FROM \"" + rel->joinTable() + "\"").c_str(), nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  EXPECT_EQ(ids(readOwners.at(2)->objects("resources")), Ids{"r4"});
  ASSERT_TRUE(readOwners.at(0)->setValue("title", kx::Value("in memory")));
  EXPECT_EQ(ids(readOwners.at(2)->objects("resources")), Ids{});
}

// Rows read as values are the rows of the objects the same fetch answers,
// in each context (the writer's unsaved work, the reader's in-memory
// changes), and related rows are the sets the objects read.
TEST_F(ContextTest, StoredRowsAreTheRowsOfTheFetchedObjects) {
  auto r1 = writer_->insertNewObject("Resource");
  auto r2 = writer_->insertNewObject("Resource");
  ASSERT_TRUE(r1->setValue("fileId", kx::Value("r1")) && r2->setValue("fileId", kx::Value("r2")));
  auto n1 = insert("Note", "N1", {{"parentId", kx::Value("P")}, {"title", kx::Value("t1")}});
  auto n2 = insert("Note", "N2", {{"parentId", kx::Value("P")}, {"size", kx::Value(7)}});
  insert("Notebook", "B", {{"parentId", kx::Value("P")}, {"encrypted", kx::Value(true)}});
  insert("Note", "Elsewhere", {{"parentId", kx::Value("Q")}});
  ASSERT_TRUE(n1->setObjects("resources", {r2, r1}));
  ASSERT_TRUE(n2->addObject("resources", r1));
  ASSERT_TRUE(writer_->save());
  // Unsaved in the writer: a changed note and a new one.
  ASSERT_TRUE(n2->setValue("title", kx::Value("unsaved")));
  insert("Note", "N3", {{"parentId", kx::Value("P")}});
  // Changed in the reader's memory.
  auto mine = reader_->fetch("Note", "fileId = %@", {kx::Value("N1")}).at(0);
  ASSERT_TRUE(mine->setValue("title", kx::Value("local")));

  const KXRelationshipDescription* resources =
      KXModel::shared().entity("FileMeta")->relationship("resources");
  for (const auto& context : {writer_, reader_}) {
    SCOPED_TRACE(context == writer_ ? "writer" : "reader");
    std::vector<KXStoredRow> rows;
    kx::Error e;
    ASSERT_TRUE(context->fetchRows("FileMeta", "parentId = %@", {kx::Value("P")}, &rows, &e))
        << e.localizedDescription();
    std::vector<KXManagedObjectPtr> objects =
        context->fetch("FileMeta", "parentId = %@", {kx::Value("P")});
    ASSERT_EQ(rows.size(), context == writer_ ? 4u : 3u);
    ASSERT_EQ(rows.size(), objects.size());
    std::vector<std::int64_t> keys;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const KXStoredRow expected = objects[i]->storedRow();
      EXPECT_EQ(rows[i].entity, expected.entity) << i;
      EXPECT_EQ(rows[i].key, expected.key) << i;
      EXPECT_EQ(rows[i].values, expected.values) << i;
      EXPECT_EQ(rows[i].context.lock(), context);
      keys.push_back(rows[i].key);
    }
    EXPECT_EQ(rows[0].value("title"), kx::Value(context == writer_ ? "t1" : "local"));
    EXPECT_EQ(rows[1].value("title"), context == writer_ ? kx::Value("unsaved") : kx::Value());
    EXPECT_EQ(rows[2].value("noteCount"), kx::Value());  // a Notebook column
    EXPECT_EQ(rows[0].value("noteCount"), kx::Value());  // not one of a Note's

    // Related rows: every source's set, in source order, then store order.
    std::vector<std::pair<std::int64_t, KXStoredRow>> related;
    ASSERT_TRUE(context->relatedRows(*resources, keys, &related, &e)) << e.localizedDescription();
    std::vector<std::pair<std::int64_t, std::string>> got, want;
    for (const auto& [source, row] : related)
      got.emplace_back(source, row.value("fileId").stringValue());
    for (const auto& object : objects) {
      for (const auto& member : object->objects("resources"))
        want.emplace_back(object->objectID().primaryKey(), member->stringValue("fileId"));
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(got.size(), 3u);
  }
}

TEST_F(ContextTest, ReadContextChangesStayInMemory) {
  listen();
  insert("Note", "N", {{"title", kx::Value("t")}});
  ASSERT_TRUE(writer_->save());
  auto mine = KXCast<FileMeta>(reader_->fetch(KXFetchRequest("Note")).at(0));
  EXPECT_EQ(reader_->insertNewObject("Note"), nullptr);
  ASSERT_TRUE(mine->setValue("title", kx::Value("local")));
  EXPECT_TRUE(reader_->hasChanges());
  kx::Error e;
  EXPECT_FALSE(reader_->save(&e));
  EXPECT_EQ(e.code(), kKXStoreReadOnlyError);
  // Neither a merge nor a fetch overwrites the in-memory change.
  auto w = writer_->fetch(KXFetchRequest("Note")).at(0);
  w->setValue("title", kx::Value("saved"));
  ASSERT_TRUE(writer_->save());
  reader_->mergeChanges(saves_.back());
  reader_->fetch(KXFetchRequest("Note"));
  EXPECT_EQ(mine->title(), "local");
  EXPECT_EQ(fileIds(*reader_, "Note", P("title = 'saved'")), Ids{"N"});
  reader_->deleteObject(mine);
  EXPECT_FALSE(mine->isDeleted());
}

TEST_F(ContextTest, FailedWriteRollsBackAndReloads) {
  insert("Note", "A", {{"title", kx::Value("ok")}});
  ASSERT_TRUE(writer_->save());
  {
    kx::MutexLock guard(store_->writeConnection()->mutex());
    ASSERT_TRUE(store_->writeConnection()->exec(
        "CREATE TRIGGER refuse BEFORE UPDATE OF title ON FileMeta WHEN NEW.title = 'boom' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END",
        nullptr));
  }
  auto a = KXCast<FileMeta>(writer_->fetch(KXFetchRequest("Note")).at(0));
  auto b = insert("Note", "B");
  ASSERT_TRUE(a->setValue("title", kx::Value("boom")));
  ASSERT_TRUE(a->setValue("size", kx::Value(9)));
  kx::Error e;
  EXPECT_FALSE(writer_->save(&e));
  EXPECT_TRUE(e);
  EXPECT_EQ(e.code() & 0xff, SQLITE_CONSTRAINT);
  // Memory follows the file again: the change is gone, the new row too.
  EXPECT_EQ(a->title(), "ok");
  EXPECT_TRUE(a->isNil("size"));
  EXPECT_FALSE(a->hasChanges());
  EXPECT_TRUE(b->isDeleted());
  EXPECT_EQ(fileIds(*writer_, "Note"), Ids{"A"});
  EXPECT_FALSE(writer_->hasChanges());
  // The context goes on working.
  ASSERT_TRUE(a->setValue("title", kx::Value("fine")));
  ASSERT_TRUE(writer_->save(&e)) << e.localizedDescription();
  EXPECT_EQ(fileIds(*reader_, "Note", P("title = 'fine'")), Ids{"A"});
}

TEST_F(ContextTest, FailedCommitReloads) {
  const char* vfs = kxtest::FaultVfs::name();
  open(vfs);
  auto a = insert("Note", "A", {{"title", kx::Value("ok")}});
  ASSERT_TRUE(writer_->save());
  auto b = insert("Note", "B");
  a->setValue("title", kx::Value("changed"));
  kxtest::FaultVfs::instance().failWalWrites = true;
  kx::Error e;
  bool saved = writer_->save(&e);
  kxtest::FaultVfs::instance().failWalWrites = false;
  EXPECT_FALSE(saved);
  EXPECT_EQ(e.code() & 0xff, SQLITE_FULL) << e.localizedDescription();
  EXPECT_EQ(a->title(), "ok");
  EXPECT_TRUE(b->isDeleted());
  EXPECT_EQ(fileIds(*reader_, "Note"), Ids{"A"});
  // After the disk recovers, saving works and the old key of B is not reused.
  std::int64_t lostKey = b->objectID().primaryKey();
  auto c = insert("Note", "C");
  EXPECT_GT(c->objectID().primaryKey(), lostKey);
  ASSERT_TRUE(writer_->save(&e)) << e.localizedDescription();
  EXPECT_EQ(fileIds(*reader_, "Note"), (Ids{"A", "C"}));
}

// Store faults: every failure of a unit of work must reach its save, and a
// save that answers NO must leave nothing of the unit in the file.
class FailedUnitTest : public ContextTest {
 protected:
  void exec(const std::string& sql) {
    kx::MutexLock guard(store_->writeConnection()->mutex());
    ASSERT_TRUE(store_->writeConnection()->exec(sql, nullptr)) << sql;
  }
  // Refuses a title of 'boom' with RAISE(ABORT) (the statement fails, the
  // transaction stays) and an inserted title of 'end' with RAISE(ROLLBACK)
  // (SQLite ends the transaction itself).
  void refuse() {
    exec(
        "CREATE TRIGGER refuse BEFORE UPDATE OF title ON FileMeta WHEN NEW.title = 'boom' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    exec(
        "CREATE TRIGGER refuseInsert BEFORE INSERT ON FileMeta WHEN NEW.title = 'end' "
        "BEGIN SELECT RAISE(ROLLBACK, 'refused'); END");
  }
  // The rows of the file, read by a connection of its own.
  std::vector<std::string> rowsInFile(const char* sql) {
    sqlite3* db = nullptr;
    std::vector<std::string> out;
    EXPECT_EQ(sqlite3_open_v2((root_.path() + "/ZarvelNote.db").c_str(), &db, SQLITE_OPEN_READONLY,
                              nullptr),
              SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (st && sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(st, 0);
      out.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
  }
};

TEST_F(FailedUnitTest, ObjectsBehindAFailedWriteCanChangeAgain) {
  insert("Note", "A", {{"title", kx::Value("a")}});
  auto c = insert("Note", "C");
  ASSERT_TRUE(writer_->save());
  refuse();
  auto a = KXCast<FileMeta>(writer_->fetch(KXFetchRequest("Note")).at(0));
  ASSERT_TRUE(a->setValue("title", kx::Value("boom")));
  ASSERT_TRUE(c->setValue("size", kx::Value(5)));  // queued behind the refused write
  EXPECT_FALSE(writer_->save());
  EXPECT_TRUE(c->isNil("size"));

  ASSERT_TRUE(c->setValue("size", kx::Value(6)));
  EXPECT_TRUE(writer_->hasChanges());
  kx::Error e;
  ASSERT_TRUE(writer_->save(&e)) << e.localizedDescription();
  EXPECT_EQ(rowsInFile("SELECT size FROM FileMeta WHERE fileId = 'C'"), Ids{"6"});
  ASSERT_TRUE(a->setValue("title", kx::Value("again")));
  ASSERT_TRUE(writer_->save(&e)) << e.localizedDescription();
  EXPECT_EQ(rowsInFile("SELECT title FROM FileMeta WHERE fileId = 'A'"), Ids{"again"});
}

TEST_F(FailedUnitTest, AWriteFailureMetByAReadIsKeptForTheSave) {
  insert("Note", "A", {{"title", kx::Value("a")}});
  ASSERT_TRUE(writer_->save());
  refuse();
  listen();
  auto a = KXCast<FileMeta>(reader_->fetch(KXFetchRequest("Note")).at(0));
  auto mine = KXCast<FileMeta>(writer_->existingObject(a->objectID()));
  // Each way a read on the write connection writes the queued changes
  // first, none of them asked for the error.
  const std::vector<std::function<void()>> reads = {
      [&] { writer_->fetch(KXFetchRequest("Note")); },
      [&] { writer_->count(KXFetchRequest("Note")); },
      [&] { writer_->existingObject(KXObjectID(a->objectID().table(), 999)); },
      [&] { (void)mine->objects("resources"); },
  };
  for (std::size_t i = 0; i < reads.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(mine->setValue("title", kx::Value("boom")));
    reads[i]();
    kx::Error e;
    EXPECT_FALSE(writer_->save(&e));
    EXPECT_EQ(e.code() & 0xff, SQLITE_CONSTRAINT) << e.localizedDescription();
    EXPECT_EQ(mine->title(), "a");
    EXPECT_EQ(rowsInFile("SELECT title FROM FileMeta WHERE fileId = 'A'"), Ids{"a"});
    EXPECT_TRUE(saves_.empty());
  }
}

TEST_F(FailedUnitTest, NothingOfAUnitIsWrittenAfterSQLiteEndedItsTransaction) {
  listen();
  insert("Note", "A", {{"title", kx::Value("a")}});
  ASSERT_TRUE(writer_->save());
  refuse();
  saves_.clear();
  auto end = insert("Note", "X", {{"title", kx::Value("end")}});
  kx::Error e;
  EXPECT_EQ(writer_->count(KXFetchRequest("Note"), &e), -1);  // SQLite rolled back
  auto y = insert("Note", "Y");
  auto a = KXCast<FileMeta>(writer_->existingObject(KXObjectID(end->objectID().table(), 1)));
  if (a) a->setValue("size", kx::Value(7));
  writer_->count(KXFetchRequest("Note"));
  writer_->deleteObject(a);
  writer_->count(KXFetchRequest("Note"));
  EXPECT_EQ(rowsInFile("SELECT fileId || ':' || coalesce(size, '') FROM FileMeta"), Ids{"A:"});
  EXPECT_FALSE(writer_->save(&e));
  EXPECT_EQ(rowsInFile("SELECT fileId || ':' || coalesce(size, '') FROM FileMeta"), Ids{"A:"});
  EXPECT_TRUE(end->isDeleted());
  EXPECT_TRUE(y->isDeleted());
  EXPECT_TRUE(saves_.empty());
  // The next unit is whole again.
  auto z = insert("Note", "Z");
  ASSERT_TRUE(writer_->save(&e)) << e.localizedDescription();
  EXPECT_EQ(fileIds(*reader_, "Note"), (Ids{"A", "Z"}));
}

TEST_F(FailedUnitTest, NothingOfAUnitIsWrittenAfterADiskFullWhileSpillingTheCache) {
  open(kxtest::FaultVfs::name());
  listen();
  insert("Note", "A");
  ASSERT_TRUE(writer_->save());
  saves_.clear();
  exec("PRAGMA cache_size=2");
  // The disk is full while the unit's pages spill into the WAL, and has
  // room again for the rest of the unit.
  std::vector<std::shared_ptr<FileMeta>> notes;
  bool failed = false;
  for (int i = 0; i < 40; ++i) {
    kxtest::FaultVfs::instance().failWalWrites = !failed;
    notes.push_back(
        insert("Note", "n" + std::to_string(i), {{"summary", kx::Value(std::string(3000, 'x'))}}));
    kx::Error e;
    if (writer_->count(KXFetchRequest("Note"), &e) < 0) failed = true;
  }
  kxtest::FaultVfs::instance().failWalWrites = false;
  ASSERT_TRUE(failed);
  EXPECT_EQ(rowsInFile("SELECT fileId FROM FileMeta"), Ids{"A"});
  EXPECT_FALSE(writer_->save());
  EXPECT_EQ(rowsInFile("SELECT fileId FROM FileMeta"), Ids{"A"});
  for (const auto& note : notes) EXPECT_TRUE(note->isDeleted());
  EXPECT_TRUE(saves_.empty());
}

TEST_F(FailedUnitTest, ABusyCommitLeavesNothingForALaterSave) {
  // A store that is not in WAL mode: a reader holding the file makes the
  // commit fail with SQLITE_BUSY.
  writer_.reset();
  reader_.reset();
  store_.reset();
  kx::Error e;
  ASSERT_TRUE(KXPersistentStore::checkpointIntoSingleFile(root_.path() + "/ZarvelNote.db", "", &e))
      << e.localizedDescription();
  open(kxtest::FaultVfs::noShmName());
  sqlite3_busy_timeout(store_->writeConnection()->handle(), 0);
  insert("Note", "A");
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((root_.path() + "/ZarvelNote.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN; SELECT count(*) FROM FileMeta;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_FALSE(writer_->save(&e));
  EXPECT_EQ(e.code() & 0xff, SQLITE_BUSY) << e.localizedDescription();
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  // The caller was told NO and does the work again: one row, not two.
  insert("Note", "A");
  ASSERT_TRUE(writer_->save(&e)) << e.localizedDescription();
  EXPECT_EQ(rowsInFile("SELECT fileId FROM FileMeta"), Ids{"A"});
}

TEST_F(FailedUnitTest, KeysTheDatabaseClearsReachTheReadContext) {
  listen();
  auto entry = writer_->insertNewObject("ResourceEntry");
  auto note = insert("Note", "N");
  auto link = writer_->insertNewObject("ShareLink");
  ASSERT_TRUE(note->setObject("shareLinkInfo", link));
  std::vector<KXManagedObjectPtr> resources;
  for (const char* id : {"R", "R2"}) {
    auto r = writer_->insertNewObject("Resource");
    r->setValue("fileId", kx::Value(id));
    ASSERT_TRUE(r->setObject("entry", entry));
    resources.push_back(r);
  }
  ASSERT_TRUE(writer_->save());
  const KXObjectID entryID = entry->objectID(), linkID = link->objectID(),
                   r2ID = resources[1]->objectID();
  auto readR = reader_->fetch(KXFetchRequest("Resource"));
  auto readN = reader_->fetch(KXFetchRequest("Note"));
  ASSERT_EQ(readR.size(), 2u);
  ASSERT_EQ(readN.size(), 1u);
  EXPECT_FALSE(readR[0]->isNil("entry"));
  // A writer that never loaded the resources or the note deletes what they
  // point at.
  resources.clear();
  entry.reset();
  link.reset();
  note.reset();
  writer_ = KXManagedObjectContext::create(store_, Role::Writer);
  listen();
  saves_.clear();
  // R2 goes in the same unit, after the entry: it is deleted, not updated.
  auto r2 = writer_->existingObject(r2ID);
  auto doomedEntry = writer_->existingObject(entryID);
  auto doomedLink = writer_->existingObject(linkID);
  writer_->deleteObject(doomedEntry);
  writer_->deleteObject(doomedLink);
  writer_->deleteObject(r2);
  ASSERT_TRUE(writer_->save());
  ASSERT_EQ(saves_.size(), 1u);
  reader_->mergeChanges(saves_[0]);
  KXPredicatePtr noEntry = P("entry == nil");
  EXPECT_TRUE(readR[0]->isNil("entry"));
  EXPECT_TRUE(noEntry->evaluate(*readR[0]));
  EXPECT_TRUE(readR[1]->isDeleted());
  EXPECT_TRUE(readN[0]->isNil("shareLinkInfo"));
  Ids updated;
  for (const kx::Value& snapshot : saves_[0][kKXUpdatedObjectsKey].array()) {
    updated.push_back(snapshot[kKXSnapshotEntityKey].string());
  }
  EXPECT_EQ(updated, (Ids{"Resource", "Note"}));
  EXPECT_EQ(saves_[0][kKXDeletedObjectsKey].size(), 3u);
  EXPECT_EQ(writer_->count(KXFetchRequest("Resource", P("entry != nil"))), 0);
}

TEST_F(ContextTest, ObjectsMayBeReadFromOtherThreads) {
  std::vector<std::shared_ptr<FileMeta>> notes;
  for (int i = 0; i < 50; ++i) notes.push_back(insert("Note", "n" + std::to_string(i)));
  ASSERT_TRUE(writer_->save());
  std::atomic<bool> stop{false};
  std::thread readerThread([&] {
    while (!stop) {
      for (const auto& n : notes) (void)n->title();
    }
  });
  for (int round = 0; round < 20; ++round) {
    for (const auto& n : notes) n->setValue("title", kx::Value("t" + std::to_string(round)));
    ASSERT_EQ(
        writer_->count(KXFetchRequest("Note", P("title = %@", {"t" + std::to_string(round)}))), 50);
    ASSERT_TRUE(writer_->save());
  }
  stop = true;
  readerThread.join();
}

TEST_F(ContextTest, NoStoreMeansFailuresNotCrashes) {
  auto writer = KXManagedObjectContext::create(nullptr, Role::Writer);
  auto object = writer->insertNewObject("Note");
  ASSERT_TRUE(object);
  EXPECT_TRUE(object->setValue("title", kx::Value("memory")));
  EXPECT_EQ(object->stringValue("title"), "memory");
  kx::Error e;
  EXPECT_TRUE(writer->fetch(KXFetchRequest("Note"), &e).empty());
  EXPECT_EQ(e.code(), kKXStoreUnavailableError);
  EXPECT_FALSE(writer->save(&e));
}

}  // namespace
