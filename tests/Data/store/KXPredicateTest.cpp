#include <gtest/gtest.h>

#include <sqlite3.h>

#include <map>

#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXPredicate.h"
#include "Data/store/KXStoreConnection.h"
#include "Data/store/KXStoreError.h"
#include "support/TempAppRoot.h"

namespace {

using Labels = std::vector<std::string>;

// A small store whose rows hold the values that catch faults: nil, 0, 1, 2,
// tag ids "12" and "123", titles ".md" and ".MD", parent ids "0", "1", "-2".
class PredicateTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::Error e;
    store_ = KXPersistentStore::open(root_.path() + "/ZarvelNote.db", "", &e);
    ASSERT_TRUE(store_) << e.localizedDescription();
    writer_ = KXManagedObjectContext::create(store_, KXManagedObjectContext::Role::Writer);
    reader_ = KXManagedObjectContext::create(store_, KXManagedObjectContext::Role::Reader);

    using V = kx::Value;
    add("Note", "n-nil", {});
    add("Note", "n-0",
        {{"fileId", V("n-0")},
         {"parentId", V("P")},
         {"title", V("a.md")},
         {"dir", V(false)},
         {"domain", V(0)},
         {"del", V(false)},
         {"remoteRemoved", V(false)},
         {"localModified", V(0)},
         {"tags", V("12")},
         {"transactionTime", V(0)},
         {"shareType", V(0)},
         {"encrypted", V(false)},
         {"localTrashOp", V(false)},
         {"version", V(0)},
         {"entryProps", V::data("\x01\xab", 2)}});
    add("Note", "n-1",
        {{"fileId", V("n-1")},
         {"parentId", V("1")},
         {"title", V("b.MD")},
         {"dir", V(false)},
         {"domain", V(0)},
         {"del", V(true)},
         {"remoteRemoved", V(false)},
         {"localModified", V(1)},
         {"tags", V("123")},
         {"hasIndex", V(true)},
         {"public_key", V("k")},
         {"transactionTime", V(5)},
         {"transactionId", V("t")},
         {"shareType", V(1)},
         {"encrypted", V(true)},
         {"localTrashOp", V(true)},
         {"version", V(1)}});
    add("NormalFile", "f-2",
        {{"fileId", V("f-2")},
         {"parentId", V("-2")},
         {"title", V("c.md.txt")},
         {"dir", V(false)},
         {"domain", V(1)},
         {"del", V(false)},
         {"remoteRemoved", V(true)},
         {"localModified", V(2)},
         {"tags", V("5,12")},
         {"public_key", V("k")},
         {"transactionTime", V(7)},
         {"transactionId", V("t2")},
         {"shareType", V(2)},
         {"encrypted", V(false)},
         {"localTrashOp", V(false)},
         {"version", V(2)}});
    add("Notebook", "b-0",
        {{"fileId", V("b-0")},
         {"parentId", V("0")},
         {"title", V("a.md")},
         {"dir", V(true)},
         {"domain", V(1)},
         {"del", V(false)},
         {"remoteRemoved", V(false)},
         {"localModified", V(0)},
         {"tags", V("")},
         {"encrypted", V(true)},
         {"version", V(12)}});
    add("Root", "ROOT",
        {{"fileId", V("ROOT")},
         {"title", V("Root")},
         {"dir", V(true)},
         {"domain", V(1)},
         {"version", V(100)}});

    auto resA = add("Resource", "res-a", {{"localModified", V(true)}});
    add("Resource", "res-b", {{"localModified", V(true)}});
    auto resC = add("Image", "res-c", {{"localModified", V(false)}});
    auto resNil = add("Resource", "res-nil", {});
    for (const auto& r : {resA, resC, resNil})
      ASSERT_TRUE(objects_["n-0"]->addObject("resources", r));

    add("Tag", "t-nil", {});
    add("Tag", "t1", {{"tagId", V("1")}, {"name", V("x")}, {"isLocalRemoved", V(false)}});
    add("Tag", "t2", {{"tagId", V("2")}, {"name", V("x")}, {"isLocalRemoved", V(true)}});
    add("Tag", "t3", {{"name", V("x")}, {"isLocalRemoved", V(false)}});
    add("DbState", "s1", {{"stateKey", V("dbVersion")}, {"stateValue", V(10)}});
    add("DbState", "s2", {{"stateKey", V("x")}, {"stateValue", V("10")}});
    add("FailedInfo", "fi-4", {{"retry", V(4)}});
    add("FailedInfo", "fi-5", {{"retry", V(5)}});
    add("FailedInfo", "fi-nil", {});
  }

  KXManagedObjectPtr add(const char* entity, const std::string& label, kx::Dictionary values) {
    KXManagedObjectPtr o = writer_->insertNewObject(entity);
    EXPECT_TRUE(o);
    EXPECT_TRUE(o->setValuesForKeys(values));
    labels_[o->objectID()] = label;
    objects_[label] = o;
    return o;
  }

  Labels names(const std::vector<KXManagedObjectPtr>& objects) {
    Labels out;
    for (const auto& o : objects) out.push_back(labels_[o->objectID()]);
    return out;
  }

  // The condition given as text to the context's own calls: fetched,
  // counted, and fetched for its first row.
  void expectTextFetch(KXManagedObjectContext& context, const char* entity, const char* format,
                       const kx::Array& args, const Labels& expected) {
    kx::Error e;
    EXPECT_EQ(names(context.fetch(entity, format, args, 0, &e)), expected) << "condition text";
    EXPECT_EQ(context.count(entity, format, args, &e), static_cast<std::int64_t>(expected.size()))
        << "count of the condition text";
    EXPECT_EQ(names(context.fetch(entity, format, args, 1, &e)),
              expected.empty() ? Labels{} : Labels{expected.front()})
        << "first row of the condition text";
    EXPECT_FALSE(e) << e.localizedDescription();
  }

  kxtest::TempAppRoot root_;
  std::shared_ptr<KXPersistentStore> store_;
  std::shared_ptr<KXManagedObjectContext> writer_;
  std::shared_ptr<KXManagedObjectContext> reader_;
  std::map<KXObjectID, std::string> labels_;
  std::map<std::string, KXManagedObjectPtr> objects_;
};

struct Case {
  const char* entity;
  const char* format;
  kx::Array args;
  Labels expected;
};

TEST_F(PredicateTableTest, SqlAndEvaluatorAgreeWithThePlatform) {
  using V = kx::Value;
  const Labels allFiles{"n-nil", "n-0", "n-1", "f-2", "b-0", "ROOT"};
  const std::vector<Case> cases = {
      // Conditions the store's callers use.
      {"FileMeta", "hasIndex == nil", {}, {"n-nil", "n-0", "f-2", "b-0", "ROOT"}},
      {"FileMeta", "tags CONTAINS %@", {V("12")}, {"n-0", "n-1", "f-2"}},
      {"FileMeta", "tags CONTAINS %@", {V("")}, {}},
      {"FileMeta", "tags CONTAINS %@", {V()}, {}},
      {"FileMeta", "tags CONTAINS %@", {V(12)}, {"n-0", "n-1", "f-2"}},
      {"Resource", "localModified = YES AND notes.@count != 0", {}, {"res-a"}},
      {"Resource", "notes.@count != 0", {}, {"res-a", "res-c", "res-nil"}},
      {"FileMeta", "fileId = %@", {V("n-0")}, {"n-0"}},
      {"Note", "del = %@ AND remoteRemoved = NO", {V(1)}, {"n-1"}},
      {"FileMeta", "(localModified > 0) AND (parentId <> '0') AND (parentId <> '-2')", {}, {"n-1"}},
      {"FileMeta", "localTrashOp = YES", {}, {"n-1"}},
      {"FileMeta", "parentId = %@ && remoteRemoved = NO", {V("0")}, {"b-0", "ROOT"}},
      {"FileMeta",
       "parentId IN %@ && remoteRemoved = NO",
       {V::array({"P", "1", "-2"})},
       {"n-0", "n-1"}},
      {"FileMeta", "parentId IN %@", {V::array({})}, {}},
      {"FileMeta", "parentId IN %@", {V::array({"0"})}, {"b-0", "ROOT"}},
      {"FileMeta",
       "dir = NO && remoteRemoved = NO && del = NO && tags CONTAINS %@",
       {V("12")},
       {"n-0"}},
      {"FileMeta",
       "NOT (parentId IN %@)",
       {V::array({"P", "-2"})},
       {"n-nil", "n-1", "b-0", "ROOT"}},
      {"FileMeta", "NOT (parentId IN %@)", {V::array({})}, allFiles},
      {"FileMeta", "shareType > 0 && del != true", {}, {"f-2"}},
      {"FileMeta",
       "remoteRemoved = NO && del = NO && parentId <> '-2'",
       {},
       {"n-0", "b-0", "ROOT"}},
      {"FileMeta", "remoteRemoved = NO", {}, {"n-0", "n-1", "b-0", "ROOT"}},
      {"Notebook", "encrypted = YES", {}, {"b-0"}},
      {"FileMeta", "fileId IN %@", {V::array({"n-0", "b-0", "zzz"})}, {"n-0", "b-0"}},
      {"FileMeta",
       "transactionTime > 0 && transactionId != nil && remoteRemoved = NO && del = NO",
       {},
       {}},
      {"FileMeta", "transactionTime > 0 && transactionId != nil", {}, {"n-1", "f-2"}},
      {"FileMeta", "parentId = %@ AND remoteRemoved = %@", {V("1"), V(false)}, {"n-1"}},
      {"DbState", "stateKey = %@", {V("dbVersion")}, {"s1"}},
      {"DbState", "stateValue = %@", {V(10)}, {"s1"}},
      {"FileMeta",
       "(del = NO) AND (title = %@) AND (parentId = %@) AND (dir = YES)",
       {V("a.md"), V("0")},
       {"b-0"}},
      {"Tag", "isLocalRemoved = 0 AND tagId != nil", {}, {"t1"}},
      {"Tag", "name = %@ AND tagId <> %@", {V("x"), V("1")}, {"t2", "t3"}},
      {"Tag", "tagId != nil", {}, {"t1", "t2"}},
      {"FileMeta", "del = YES AND remoteRemoved = NO", {}, {"n-1"}},
      {"Note",
       "(del = NO) AND (title = %@) AND (parentId = %@) AND (fileId <> %@)",
       {V("a.md"), V("P"), V("")},
       {"n-0"}},
      {"Note",
       "(del = NO) AND (title = %@) AND (parentId = %@) AND (fileId <> %@)",
       {V("a.md"), V("P"), V("n-0")},
       {}},
      {"FailedInfo", "retry <= 4", {}, {"fi-4"}},
      {"FileMeta", "localModified = YES", {}, {"n-1"}},
      {"FileMeta", "localModified = NO", {}, {"n-0", "b-0"}},
      {"FileMeta", "localModified != 1", {}, {"n-nil", "n-0", "f-2", "b-0", "ROOT"}},
      {"FileMeta",
       "title ENDSWITH %@ AND hasIndex == nil AND del != 1 AND public_key == nil",
       {V(".md")},
       {"n-0", "b-0"}},
      {"FileMeta",
       "(title ENDSWITH %@ OR domain == 0 ) AND hasIndex == nil AND del != 1 AND public_key != nil",
       {V(".md")},
       {}},
      {"FileMeta", "(title ENDSWITH %@ OR domain == 0 ) AND del != 1", {V(".md")}, {"n-0", "b-0"}},
      {"FileMeta", "version > %@", {V(1)}, {"f-2", "b-0", "ROOT"}},
      {"FileMeta", "version > %@", {V("1")}, {"f-2", "b-0", "ROOT"}},
      {"FileMeta", "version > 1.5", {}, {"f-2", "b-0", "ROOT"}},
      {"FileMeta", "version < 1.5", {}, {"n-0", "n-1"}},
      // The platform's two-valued comparisons and exact text matching.
      {"FileMeta", "del != true", {}, {"n-nil", "n-0", "f-2", "b-0", "ROOT"}},
      {"FileMeta", "NOT (localModified = YES)", {}, {"n-nil", "n-0", "f-2", "b-0", "ROOT"}},
      {"FileMeta", "NOT (localModified > 0)", {}, {"n-nil", "n-0", "b-0", "ROOT"}},
      {"FileMeta", "NOT (tags CONTAINS '12')", {}, {"n-nil", "b-0", "ROOT"}},
      {"FileMeta", "title = nil", {}, {"n-nil"}},
      {"FileMeta", "title ENDSWITH %@", {V(".MD")}, {"n-1"}},
      {"FileMeta", "title ENDSWITH %@", {V("")}, {}},
      {"FileMeta", "title CONTAINS %@", {V("md")}, {"n-0", "f-2", "b-0"}},
      {"FileMeta", "title CONTAINS %@", {V("%")}, {}},
      {"FileMeta", "title CONTAINS %@", {V("_")}, {}},
      {"FileMeta", "dir = NO OR dir = YES", {}, {"n-0", "n-1", "f-2", "b-0", "ROOT"}},
      {"FileMeta", "domain == 0", {}, {"n-0", "n-1"}},
      {"FileMeta", "parentId = '0' AND encrypted = NO", {}, {"ROOT"}},
      {"FileMeta", "title > 'b'", {}, {"n-1", "f-2"}},  // "Root" < "b" bytewise
      {"FileMeta", "TRUEPREDICATE", {}, allFiles},
      {"FileMeta", "NOT TRUEPREDICATE OR fileId = 'ROOT'", {}, {"ROOT"}},
      {"FileMeta", "fileId=%@", {V("b-0")}, {"b-0"}},
      {"FileMeta", "!(del == NO) and not (parentId = nil)", {}, {"n-1"}},
      // Arguments of every kind in a %@: nil where a value is due, nils in
      // and around an IN list, fractions and text for numbers. The same
      // condition text comes back with other arguments.
      {"FileMeta", "fileId = %@", {V()}, {"n-nil"}},
      {"FileMeta", "fileId != %@", {V()}, {"n-0", "n-1", "f-2", "b-0", "ROOT"}},
      {"FileMeta", "parentId IN %@", {V(kx::Array{V(), V("0")})}, {"b-0", "ROOT"}},
      {"FileMeta", "parentId IN %@", {V(kx::Array{V()})}, {}},
      {"FileMeta", "parentId IN %@", {V()}, {}},
      {"FileMeta", "version >= %@ AND version < %@", {V(1), V(12)}, {"n-1", "f-2"}},
      {"FileMeta", "version = %@", {V(0.5)}, {}},
      {"FileMeta", "version > %@", {V(1.5)}, {"f-2", "b-0", "ROOT"}},
      {"FileMeta", "del = %@", {V(true)}, {"n-1"}},
      {"FileMeta", "del != %@", {V(true)}, {"n-nil", "n-0", "f-2", "b-0", "ROOT"}},
      {"FileMeta", "fileId IN %@", {V(kx::Array{V("ROOT"), V("n-1")})}, {"n-1", "ROOT"}},
      {"FileMeta", "localModified IN %@ AND del = %@", {V::array({1, 2}), V(false)}, {"f-2"}},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.entity) + ": " + c.format);
    kx::Error e;
    KXPredicatePtr p = KXPredicate::withFormat(c.format, c.args, &e);
    ASSERT_TRUE(p) << e.localizedDescription();
    // SQL on the write connection (unsaved rows, written through).
    auto viaWriter = writer_->fetch(KXFetchRequest(c.entity, p), &e);
    ASSERT_FALSE(e) << e.localizedDescription();
    EXPECT_EQ(names(viaWriter), c.expected) << "SQL";
    // The same condition given as text, which the context keeps ready.
    expectTextFetch(*writer_, c.entity, c.format, c.args, c.expected);
    // The evaluator over every object of the entity.
    auto all = writer_->fetch(KXFetchRequest(c.entity));
    EXPECT_EQ(names(p->filter(all, &e)), c.expected) << "evaluator";
    ASSERT_FALSE(e) << e.localizedDescription();
  }

  // The same table over committed data on the read connection.
  ASSERT_TRUE(writer_->save());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.entity) + ": " + c.format);
    kx::Error e;
    KXPredicatePtr p = KXPredicate::withFormat(c.format, c.args, &e);
    EXPECT_EQ(names(reader_->fetch(KXFetchRequest(c.entity, p), &e)), c.expected) << "reader";
    expectTextFetch(*reader_, c.entity, c.format, c.args, c.expected);
  }
}

// A caller's IN list may be longer than the number of "?" SQLite allows in
// one statement. Each short list is stretched past that limit by repeating
// its own values (which changes no answer) and must answer as before, on
// both connections and in the evaluator.
TEST_F(PredicateTableTest, InListsLongerThanSQLitesParameterLimit) {
  using V = kx::Value;
  const struct {
    const char* entity;
    const char* format;
    kx::Array values;
    Labels expected;
  } cases[] = {
      {"FileMeta",
       "parentId IN %@ && remoteRemoved = NO",
       {V("P"), V("1"), V("-2")},
       {"n-0", "n-1"}},
      {"FileMeta", "NOT (parentId IN %@)", {V("P"), V("-2")}, {"n-nil", "n-1", "b-0", "ROOT"}},
      {"FileMeta", "fileId IN %@", {V("n-0"), V("b-0"), V("zzz")}, {"n-0", "b-0"}},
      {"FileMeta", "localModified IN %@", {V(1), V(2)}, {"n-1", "f-2"}},
      {"FileMeta", "del IN %@", {V(true)}, {"n-1"}},
      {"FileMeta", "version IN %@", {V(1.0), V(12)}, {"n-1", "b-0"}},
      {"FileMeta", "transactionTime IN %@", {V(5), V("7")}, {"n-1", "f-2"}},
      {"DbState", "stateValue IN %@", {V(10), V("x")}, {"s1"}},
      {"Resource", "notes.@count IN %@", {V(1)}, {"res-a", "res-c", "res-nil"}},
      {"FileMeta", "entryProps IN %@", {V::data("\x01\xab", 2), V::data("ab", 2)}, {"n-0"}},
  };
  ASSERT_TRUE(writer_->save());
  const int limit =
      sqlite3_limit(store_->readConnection()->handle(), SQLITE_LIMIT_VARIABLE_NUMBER, -1);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.entity) + ": " + c.format);
    kx::Array values;
    values.reserve(static_cast<std::size_t>(limit) + 1);
    for (std::size_t i = 0; i <= static_cast<std::size_t>(limit); ++i) {
      values.push_back(c.values[i % c.values.size()]);
    }
    kx::Error e;
    KXPredicatePtr shortList = KXPredicate::withFormat(c.format, {V(c.values)}, &e);
    KXPredicatePtr longList = KXPredicate::withFormat(c.format, {V(values)}, &e);
    ASSERT_TRUE(shortList && longList) << e.localizedDescription();
    EXPECT_EQ(names(reader_->fetch(KXFetchRequest(c.entity, shortList))), c.expected);
    EXPECT_EQ(names(reader_->fetch(KXFetchRequest(c.entity, longList), &e)), c.expected)
        << e.localizedDescription();
    EXPECT_EQ(names(writer_->fetch(KXFetchRequest(c.entity, longList), &e)), c.expected)
        << e.localizedDescription();
    for (const kx::Array& list : {c.values, values}) {
      EXPECT_EQ(names(reader_->fetch(c.entity, c.format, {V(list)}, 0, &e)), c.expected)
          << "condition text, " << list.size() << " values: " << e.localizedDescription();
    }
    EXPECT_EQ(names(longList->filter(reader_->fetch(KXFetchRequest(c.entity)))), c.expected);
  }
}

TEST_F(PredicateTableTest, UnknownKeysAndWrongTypesAreErrors) {
  struct Bad {
    const char* entity;
    const char* format;
    kx::Array args;
    std::int64_t code;
  };
  const std::vector<Bad> cases = {
      {"Note", "noteCount = 1", {}, kKXStoreUnknownKeyError},
      {"FileMeta", "nope = 1", {}, kKXStoreUnknownKeyError},
      {"FileMeta", "version = 'abc'", {}, kKXStoreTypeError},
      {"FileMeta", "version CONTAINS '1'", {}, kKXStoreTypeError},
      {"FileMeta", "resources = nil", {}, kKXStoreTypeError},
      {"FileMeta", "title.@count = 1", {}, kKXStoreUnknownKeyError},
      {"FileMeta", "shareLinkInfo = 'x'", {}, kKXStoreTypeError},
      {"FileMeta", "del IN %@", {kx::Value::array({"maybe"})}, kKXStoreTypeError},
  };
  auto any = writer_->fetch(KXFetchRequest("FileMeta"));
  ASSERT_FALSE(any.empty());
  for (const Bad& b : cases) {
    SCOPED_TRACE(b.format);
    kx::Error e;
    KXPredicatePtr p = KXPredicate::withFormat(b.format, b.args, &e);
    ASSERT_TRUE(p) << e.localizedDescription();
    EXPECT_TRUE(writer_->fetch(KXFetchRequest(b.entity, p), &e).empty());
    EXPECT_EQ(e.code(), b.code) << e.localizedDescription();
    kx::Error evalError;
    EXPECT_FALSE(p->evaluate(*any.front(), &evalError));
    EXPECT_EQ(evalError.code(), b.code);
    // The same condition given as text, twice (the second use meets what
    // the first kept).
    for (int use = 0; use < 2; ++use) {
      kx::Error textError;
      EXPECT_TRUE(writer_->fetch(b.entity, b.format, b.args, 0, &textError).empty());
      EXPECT_EQ(textError.code(), b.code) << textError.localizedDescription();
      kx::Error countError;
      EXPECT_EQ(writer_->count(b.entity, b.format, b.args, &countError), -1);
      EXPECT_EQ(countError.code(), b.code) << countError.localizedDescription();
    }
  }
  // Arguments a condition text cannot take, after the same text served
  // well-formed ones.
  ASSERT_EQ(writer_->fetch("FileMeta", "version = %@", {kx::Value(1)}).size(), 1u);
  const struct {
    const char* format;
    kx::Array args;
    std::int64_t code;
  } wrongArguments[] = {
      {"version = %@", {kx::Value("abc")}, kKXStoreTypeError},
      {"version = %@", {}, kKXStorePredicateSyntaxError},
      {"version = %@", {kx::Value::array({1})}, kKXStorePredicateSyntaxError},
      {"fileId IN %@", {kx::Value("n-0")}, kKXStorePredicateSyntaxError},
      {"version IN %@", {kx::Value::array({"abc"})}, kKXStoreTypeError},
  };
  for (const auto& w : wrongArguments) {
    SCOPED_TRACE(w.format);
    kx::Error e;
    EXPECT_TRUE(writer_->fetch("FileMeta", w.format, w.args, 0, &e).empty());
    EXPECT_EQ(e.code(), w.code) << e.localizedDescription();
  }
}

TEST(KXPredicateSyntaxTest, RefusesWhatItDoesNotKnow) {
  const char* bad[] = {
      "",
      "title",
      "title =",
      "title = %@",  // no argument
      "= 'x'",
      "'x' = title",
      "title = other",  // two keys
      "title BEGINSWITH 'a'",
      "title LIKE 'a*'",
      "title MATCHES '.*'",
      "title ==[c] 'a'",
      "title CONTAINS[cd] 'a'",
      "shareLinkInfo.shareUrl = 'x'",
      "ANY resources.title = 'x'",
      "title = 'unterminated",
      "title = %K",
      "(title = 'a'",
      "title = 'a')",
      "title = 'a' AND",
      "title IN 'a'",
      "title = 12abc",
      "title = {1, 2}",
      "@count = 1",
      "title = 'a' title = 'b'",
  };
  for (const char* format : bad) {
    kx::Error e;
    EXPECT_EQ(KXPredicate::withFormat(format, &e), nullptr) << format;
    EXPECT_EQ(e.code(), kKXStorePredicateSyntaxError) << format;
  }
  // Deep nesting is refused, not a stack overflow.
  std::string deep(5000, '(');
  deep += "title = 'a'";
  deep += std::string(5000, ')');
  kx::Error e;
  EXPECT_EQ(KXPredicate::withFormat(deep, &e), nullptr);
  std::string nots;
  for (int i = 0; i < 5000; ++i) nots += "NOT ";
  EXPECT_EQ(KXPredicate::withFormat(nots + "title = 'a'", &e), nullptr);

  // Extra arguments are ignored; keywords in any case; both quotes.
  EXPECT_TRUE(KXPredicate::withFormat("title = %@", {kx::Value("a"), kx::Value("b")}));
  auto p = KXPredicate::withFormat("title = \"a\\\"b\" and DEL = yes Or x == Nil", nullptr);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->predicateFormat(), "((title == \"a\\\"b\" AND DEL == YES) OR x == nil)");
}

TEST(KXPredicateSyntaxTest, CompoundsOfPredicates) {
  auto a = KXPredicate::withFormat("del = NO");
  auto b = KXPredicate::withFormat("title = 'x'");
  EXPECT_EQ(KXPredicate::andPredicate({a, nullptr, b})->predicateFormat(),
            "(del == NO AND title == \"x\")");
  EXPECT_EQ(KXPredicate::andPredicate({})->predicateFormat(), "TRUEPREDICATE");
  EXPECT_EQ(KXPredicate::orPredicate({})->predicateFormat(), "FALSEPREDICATE");
  EXPECT_EQ(KXPredicate::notPredicate(a)->predicateFormat(), "NOT (del == NO)");
}

}  // namespace
