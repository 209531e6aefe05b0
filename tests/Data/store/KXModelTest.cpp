#include <gtest/gtest.h>

#include <set>

#include "Data/entities/FileMeta.h"
#include "Data/entities/Note.h"
#include "Data/entities/Resource.h"
#include "Data/entities/Root.h"
#include "Data/store/KXModel.h"
#include "platform/Error.h"

namespace {

TEST(KXModelTest, InheritanceAndProperties) {
  const KXModel& model = KXModel::shared();
  const KXEntityDescription* fileMeta = model.entity("FileMeta");
  const KXEntityDescription* notebook = model.entity("Notebook");
  const KXEntityDescription* root = model.entity("Root");
  ASSERT_TRUE(fileMeta && notebook && root);

  EXPECT_TRUE(root->isKindOfEntity(*notebook));
  EXPECT_TRUE(root->isKindOfEntity("FileMeta"));
  EXPECT_FALSE(notebook->isKindOfEntity("Root"));
  EXPECT_FALSE(model.entity("Note")->isKindOfEntity(*notebook));
  EXPECT_EQ(&root->rootEntity(), fileMeta);
  EXPECT_EQ(root->tableName(), "FileMeta");
  EXPECT_EQ(model.entity("CloudPen")->className(), "PenEntry");

  // A fetch of an entity takes its own rows and those of every descendant.
  std::set<int> notebookKinds(notebook->kindNumbers().begin(), notebook->kindNumbers().end());
  EXPECT_EQ(notebookKinds, (std::set<int>{notebook->entityNumber(), root->entityNumber()}));
  EXPECT_EQ(fileMeta->kindNumbers().size(), 5u);

  // Properties with inherited ones, the parent's first.
  std::vector<std::string> names = notebook->propertyNames();
  EXPECT_EQ(names.front(), "fileId");
  EXPECT_EQ(names.back(), "noteCount");
  EXPECT_NE(notebook->relationship("resources"), nullptr);
  EXPECT_EQ(model.entity("Note")->property("noteCount"), nullptr);
  EXPECT_EQ(fileMeta->attribute("localModified")->type(), KXAttributeType::Integer);
  EXPECT_EQ(model.entity("Resource")->attribute("localModified")->type(), KXAttributeType::Boolean);

  // The many-to-many is one join table, seen from both sides.
  const KXRelationshipDescription* resources = fileMeta->relationship("resources");
  const KXRelationshipDescription* notes = model.entity("Image")->relationship("notes");
  ASSERT_TRUE(resources && notes);
  EXPECT_EQ(resources->storage(), KXRelationshipDescription::Storage::JoinTable);
  EXPECT_EQ(resources->joinTable(), notes->joinTable());
  EXPECT_EQ(resources->inverse(), notes);
  EXPECT_EQ(model.entity("ResourceEntry")->relationship("resourceHolders")->storage(),
            KXRelationshipDescription::Storage::InverseForeignKey);
}

TEST(KXModelTest, CoercionTable) {
  using T = KXAttributeType;
  struct Case {
    T type;
    kx::Value in;
    bool ok;
    kx::Value out;
  };
  const Case cases[] = {
      {T::String, kx::Value("x"), true, kx::Value("x")},
      {T::String, kx::Value(12), true, kx::Value("12")},
      {T::String, kx::Value::data("ab", 2), false, {}},
      {T::String, kx::Value::array({}), false, {}},
      {T::Integer, kx::Value("12"), true, kx::Value(12)},
      {T::Integer, kx::Value(" -7 "), true, kx::Value(-7)},
      {T::Integer, kx::Value("12abc"), false, {}},
      {T::Integer, kx::Value(true), true, kx::Value(1)},
      {T::Integer, kx::Value(2.9), true, kx::Value(2)},
      {T::Integer, kx::Value(1e300), false, {}},
      {T::Integer, kx::Value(static_cast<unsigned long long>(1) << 63), false, {}},
      {T::Integer, kx::Value::date(5.5), false, {}},
      {T::Time, kx::Value::date(5.5), true, kx::Value(5)},
      {T::Time, kx::Value("1600000000"), true, kx::Value(1600000000)},
      {T::Boolean, kx::Value(2), true, kx::Value(true)},
      {T::Boolean, kx::Value(0), true, kx::Value(false)},
      {T::Boolean, kx::Value("YES"), true, kx::Value(true)},
      {T::Boolean, kx::Value("false"), true, kx::Value(false)},
      {T::Boolean, kx::Value("maybe"), false, {}},
      {T::Bytes, kx::Value("hi"), true, kx::Value::data("hi", 2)},
      {T::Bytes, kx::Value(3), false, {}},
      {T::Any, kx::Value(true), true, kx::Value(1)},
      {T::Any, kx::Value("s"), true, kx::Value("s")},
      {T::Any, kx::Value::dict({}), false, {}},
      {T::String, kx::Value(), true, kx::Value()},
  };
  for (const Case& c : cases) {
    kx::Value out;
    std::string why;
    bool ok = KXAttributeDescription::coerce(c.type, c.in, &out, &why);
    EXPECT_EQ(ok, c.ok) << KXAttributeTypeName(c.type) << " from " << c.in.description();
    if (ok && c.ok) {
      EXPECT_EQ(out, c.out) << KXAttributeTypeName(c.type) << " from " << c.in.description();
      EXPECT_EQ(out.kind(), c.out.kind()) << c.in.description();
    }
    if (!ok) {
      EXPECT_FALSE(why.empty());
    }
  }
}

TEST(KXModelTest, NewIdsAreUniqueUpperHex) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string id = i % 2 ? FileMeta::idForFileMeta() : Resource::resourceFileID();
    ASSERT_EQ(id.size(), 32u);
    for (char c : id) ASSERT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << id;
    ASSERT_TRUE(seen.insert(id).second) << id;
  }
}

TEST(KXModelTest, ResourceTypeTable) {
  EXPECT_EQ(Resource::resourceTypeName(1), "image");
  EXPECT_EQ(Resource::resourceTypeName(-1), "3rd");
  EXPECT_EQ(Resource::resourceTypeName(9), "undefined");
  EXPECT_EQ(Resource::resourceTypeName(-2), "undefined");
  EXPECT_EQ(Resource::resourceTypeFromName("LongMicroBlog"), 7);
  EXPECT_EQ(Resource::resourceTypeFromName("Image"), std::nullopt);
  EXPECT_EQ(Resource::resourceTypeFromName("undefined"), 0);
}

TEST(KXModelTest, UniqKeysIsAbstract) {
  try {
    KXManagedObject::uniqKeys();
    FAIL() << "no exception";
  } catch (const kx::Exception& e) {
    EXPECT_EQ(e.name(), "KXAbstractMethodInvokeException");
  }
}

TEST(KXModelTest, ObjectIDTextForm) {
  const KXEntityDescription* note = KXModel::shared().entity("Note");
  KXObjectID id(note, 42);
  EXPECT_EQ(id.table(), KXModel::shared().entity("FileMeta"));
  EXPECT_EQ(id.uriRepresentation(), "kxstore://FileMeta/42");
  EXPECT_EQ(KXObjectID::fromValue(id.toValue()), id);
  for (const char* bad : {"kxstore://Note/1", "kxstore://FileMeta/0", "kxstore://FileMeta/x",
                          "kxstore://Nope/1", "FileMeta/1", "kxstore://FileMeta/1/2"}) {
    EXPECT_TRUE(KXObjectID::fromURI(bad).isNull()) << bad;
  }
  EXPECT_TRUE(KXObjectID::fromValue(kx::Value(42)).isNull());
}

}  // namespace
