#include "platform/Value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <latch>
#include <limits>
#include <random>
#include <thread>

namespace kx {
namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kUInt64Max = std::numeric_limits<std::uint64_t>::max();

struct ConversionCase {
  Value value;
  bool boolValue;
  std::int64_t intValue;
  std::uint64_t unsignedValue;
  double doubleValue;
  std::string stringValue;
};

TEST(ValueTest, ConversionsBehaveLikeThePlatformsNumbersAndStrings) {
  const double inf = std::numeric_limits<double>::infinity();
  const ConversionCase cases[] = {
      {Value(), false, 0, 0, 0.0, ""},
      {Value(true), true, 1, 1, 1.0, "1"},
      {Value(false), false, 0, 0, 0.0, "0"},
      {Value(42), true, 42, 42, 42.0, "42"},
      {Value(-7), true, -7, 0, -7.0, "-7"},
      {Value(kInt64Min), true, kInt64Min, 0, -9223372036854775808.0, "-9223372036854775808"},
      {Value(kUInt64Max), true, kInt64Max, kUInt64Max, 18446744073709551615.0,
       "18446744073709551615"},
      {Value(1.5), true, 1, 1, 1.5, "1.5"},
      {Value(-2.9), true, -2, 0, -2.9, "-2.9"},
      {Value(0.1), true, 0, 0, 0.1, "0.1"},
      {Value(1.0), true, 1, 1, 1.0, "1"},
      {Value(1e20), true, kInt64Max, kUInt64Max, 1e20, "1e+20"},
      {Value(-1e20), true, kInt64Min, 0, -1e20, "-1e+20"},
      {Value("  12abc"), true, 12, 12, 12.0, "  12abc"},
      {Value("abc"), false, 0, 0, 0.0, "abc"},
      {Value(""), false, 0, 0, 0.0, ""},
      {Value("YES"), true, 0, 0, 0.0, "YES"},
      {Value("true"), true, 0, 0, 0.0, "true"},
      {Value("no"), false, 0, 0, 0.0, "no"},
      {Value("  +007"), true, 7, 7, 7.0, "  +007"},
      {Value("-000"), false, 0, 0, -0.0, "-000"},
      {Value("-0.5e1x"), false, 0, 0, -5.0, "-0.5e1x"},
      {Value("\t\n3.25 apples"), true, 3, 3, 3.25, "\t\n3.25 apples"},
      {Value("-42"), true, -42, 0, -42.0, "-42"},
      {Value("0x1A"), false, 0, 0, 0.0, "0x1A"},
      {Value(".5"), false, 0, 0, 0.5, ".5"},
      {Value("99999999999999999999"), true, kInt64Max, kUInt64Max, 1e20, "99999999999999999999"},
      {Value("-99999999999999999999"), true, kInt64Min, 0, -1e20, "-99999999999999999999"},
      {Value("1e400"), true, 1, 1, inf, "1e400"},
      {Value("inf"), false, 0, 0, 0.0, "inf"},
      {Value::data("12", 2), false, 0, 0, 0.0, ""},
      {Value::array({1, 2}), false, 0, 0, 0.0, ""},
      {Value::dict({{"a", 1}}), false, 0, 0, 0.0, ""},
      {Value::date(1500000000.75), true, 1500000000, 1500000000, 1500000000.75, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.description());
    EXPECT_EQ(c.value.boolValue(), c.boolValue);
    EXPECT_EQ(c.value.intValue(), c.intValue);
    EXPECT_EQ(c.value.unsignedValue(), c.unsignedValue);
    EXPECT_EQ(c.value.doubleValue(), c.doubleValue);
    EXPECT_EQ(c.value.stringValue(), c.stringValue);
  }
}

TEST(ValueTest, NaNConvertsToZeroIntegers) {
  Value nan(std::nan(""));
  EXPECT_EQ(nan.intValue(), 0);
  EXPECT_EQ(nan.unsignedValue(), 0u);
  EXPECT_EQ(nan.stringValue(), "nan");
}

TEST(ValueTest, DoubleTextReadsBackToTheSameDouble) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof(d));
    if (!std::isfinite(d)) continue;
    Value text(Value(d).stringValue());
    ASSERT_EQ(text.doubleValue(), d) << text.string();
  }
}

struct EqualityCase {
  Value a;
  Value b;
  bool equal;
};

TEST(ValueTest, EqualityComparesNumbersByValueAndKeepsBooleansApart) {
  const double nan = std::nan("");
  const EqualityCase cases[] = {
      {Value(1), Value(1u), true},
      {Value(1), Value(1.0), true},
      {Value(1u), Value(1.0), true},
      {Value(0), Value(-0.0), true},
      {Value(-1), Value(kUInt64Max), false},
      {Value(kUInt64Max), Value(-1.0), false},
      {Value(std::uint64_t{1} << 63), Value(9223372036854775808.0), true},
      {Value(kInt64Max), Value(9223372036854775808.0), false},  // the double is 2^63
      {Value(kInt64Min), Value(-9223372036854775808.0), true},
      {Value((std::uint64_t{1} << 53) + 1), Value(9007199254740992.0), false},
      {Value(kUInt64Max), Value(18446744073709551616.0), false},  // the double is 2^64
      {Value(2), Value(2.5), false},
      {Value(nan), Value(nan), true},
      {Value(nan), Value(0), false},
      {Value(true), Value(true), true},
      {Value(true), Value(false), false},
      {Value(true), Value(1), false},
      {Value(false), Value(0u), false},
      {Value(true), Value(1.0), false},
      {Value(), Value(), true},
      {Value(), Value(0), false},
      {Value(), Value(""), false},
      {Value(), Value(false), false},
      {Value("1"), Value(1), false},
      {Value("a"), Value(std::string("a")), true},
      {Value("a"), Value("A"), false},
      {Value::date(5), Value(5), false},
      {Value::date(5), Value::date(5.0), true},
      {Value::data("ab", 2), Value::data("ab", 2), true},
      {Value::data("ab", 2), Value("ab"), false},
      {Value::array({1, "a"}), Value::array({1.0, "a"}), true},
      {Value::array({1, "a"}), Value::array({"a", 1}), false},
      {Value::array({}), Value::dict({}), false},
      {Value::dict({{"a", 1}, {"b", 2}}), Value::dict({{"b", 2u}, {"a", 1.0}}), true},
      {Value::dict({{"a", 1}}), Value::dict({{"a", 1}, {"b", nullptr}}), false},
      {Value::dict({{"a", nullptr}}), Value::dict({{"b", nullptr}}), false},
      {Value::dict({{"a", Value::array({true})}}), Value::dict({{"a", Value::array({1})}}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a.description() + " vs " + c.b.description());
    EXPECT_EQ(c.a == c.b, c.equal);
    EXPECT_EQ(c.b == c.a, c.equal);  // symmetric
    EXPECT_EQ(c.a != c.b, !c.equal);
  }
}

TEST(ValueTest, LargeDictionariesCompareWithoutRegardToOrder) {
  Value forward;
  Value backward;
  for (int i = 0; i < 40; ++i) forward.set("k" + std::to_string(i), i);
  for (int i = 39; i >= 0; --i) backward.set("k" + std::to_string(i), static_cast<double>(i));
  EXPECT_EQ(forward, backward);
  backward.set("k17", 18);
  EXPECT_NE(forward, backward);
}

TEST(ValueTest, MissingKeyAndPresentNullDiffer) {
  Value v = Value::dict({{"present", nullptr}, {"n", 0}});
  ASSERT_NE(v.find("present"), nullptr);
  EXPECT_TRUE(v.find("present")->isNull());
  EXPECT_TRUE(v.contains("present"));
  EXPECT_EQ(v.find("missing"), nullptr);
  EXPECT_FALSE(v.contains("missing"));
  // Both read as Null through operator[].
  EXPECT_TRUE(v["present"].isNull());
  EXPECT_TRUE(v["missing"].isNull());
  // Lookups on other kinds are missing, not errors.
  EXPECT_EQ(Value(3).find("present"), nullptr);
  EXPECT_TRUE(Value("x")["a"].isNull());
}

TEST(ValueTest, NestedLookups) {
  Value v = Value::dict({
      {"a", Value::dict({{"b", Value::dict({{"c", "deep"}})}, {"list", Value::array({10, 20})}})},
      {"s", "text"},
  });
  EXPECT_EQ(v.at({"a", "b", "c"}).string(), "deep");
  EXPECT_EQ(v["a"]["b"]["c"], Value("deep"));
  EXPECT_TRUE(v.at({"a", "x", "c"}).isNull());
  EXPECT_TRUE(v.at({"s", "b"}).isNull());  // through a string
  EXPECT_EQ(v["a"]["list"][1], Value(20));
  EXPECT_TRUE(v["a"]["list"][2].isNull());
  EXPECT_TRUE(v["a"]["list"][-1].isNull());
  EXPECT_TRUE(v["s"][0].isNull());
  EXPECT_EQ(v.at({}), v);
}

TEST(ValueTest, TypedAccessOfAnotherKindGivesAnEmptyValue) {
  Value n(5);
  EXPECT_EQ(n.string(), "");
  EXPECT_TRUE(n.bytes().empty());
  EXPECT_TRUE(n.array().empty());
  EXPECT_TRUE(n.dict().empty());
  EXPECT_EQ(n.dateValue(), 0.0);
  EXPECT_EQ(Value::date(12.5).dateValue(), 12.5);
  EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNull());
}

TEST(ValueTest, KindsAndSizes) {
  EXPECT_EQ(Value(1).kind(), Value::Kind::Int64);
  EXPECT_EQ(Value(1L).kind(), Value::Kind::Int64);
  EXPECT_EQ(Value(1u).kind(), Value::Kind::UInt64);
  EXPECT_EQ(Value(1ull).kind(), Value::Kind::UInt64);
  EXPECT_EQ(Value(1.0f).kind(), Value::Kind::Double);
  EXPECT_EQ(Value(true).kind(), Value::Kind::Bool);
  EXPECT_FALSE(Value(true).isNumber());
  EXPECT_TRUE(Value(1.0).isNumber());
  EXPECT_FALSE(Value(1.0).isInteger());
  EXPECT_EQ(Value("中文").size(), 6u);  // UTF-8 bytes
  EXPECT_EQ(Value::data("abc", 3).size(), 3u);
  EXPECT_EQ(Value::array({1, 2, 3}).size(), 3u);
  EXPECT_EQ(Value::dict({{"a", 1}}).size(), 1u);
  EXPECT_EQ(Value(7).size(), 0u);
}

TEST(ValueTest, CopiesAreIndependentAfterAWrite) {
  Value original = Value::dict({{"list", Value::array({1, 2})}, {"name", "a"}});
  Value copy = original;
  copy.set("name", "b");
  Value list = copy["list"];
  list.mutableArray().push_back(3);
  copy.set("list", list);
  Value text = original["name"];
  text.mutableString() += "!";

  EXPECT_EQ(original, Value::dict({{"list", Value::array({1, 2})}, {"name", "a"}}));
  EXPECT_EQ(copy, Value::dict({{"list", Value::array({1, 2, 3})}, {"name", "b"}}));
  EXPECT_EQ(text, Value("a!"));
}

TEST(ValueTest, SharedStorageSurvivesCopiesAndWritesFromManyThreads) {
  Value shared;
  for (int i = 0; i < 50; ++i) shared.set("key" + std::to_string(i), Value::array({i, "v"}));
  const Value expected = shared;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared, t] {
      for (int i = 0; i < 2000; ++i) {
        Value mine = shared;  // shares storage with every other thread's copy
        Value item = mine["key" + std::to_string(i % 50)];
        item.mutableArray().push_back(t);
        mine.set("key0", std::move(item));
        if (mine["key7"][0].intValue() != 7) std::abort();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(shared, expected);
  EXPECT_EQ(shared["key0"].size(), 2u);
}

TEST(ValueTest, MutableAccessorsTurnOtherKindsIntoContainers) {
  Value v;
  v.set("a", 1);
  EXPECT_TRUE(v.isDictionary());
  Value n(5);
  n.mutableArray().push_back("x");
  EXPECT_EQ(n, Value::array({"x"}));
  Value s = Value::array({1});
  s.mutableString() = "now text";
  EXPECT_EQ(s, Value("now text"));
  Value d(2.5);
  d.mutableDict().set("k", true);
  EXPECT_EQ(d, Value::dict({{"k", true}}));
}

TEST(ValueTest, MovesAndAssignmentsFromInsideTheSameValue) {
  Value v = Value::dict({{"inner", Value::dict({{"x", "payload that is not short"}})}});
  v = v["inner"];  // the source lives inside the target
  EXPECT_EQ(v, Value::dict({{"x", "payload that is not short"}}));

  Value a = Value::array({Value::array({"nested payload, long enough"})});
  a = std::move(a.mutableArray()[0]);
  EXPECT_EQ(a, Value::array({"nested payload, long enough"}));

  Value moved = std::move(a);
  EXPECT_TRUE(a.isNull());  // NOLINT(bugprone-use-after-move): moves leave Null
  Value& self = moved;
  moved = self;
  moved = std::move(self);
  EXPECT_EQ(moved, Value::array({"nested payload, long enough"}));
}

TEST(ValueTest, DictionaryKeepsInsertionOrderAndReplacesInPlace) {
  Dictionary d{{"b", 1}, {"a", 2}, {"c", 3}};
  d.set("a", "replaced");
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(d["a"], Value("replaced"));
  EXPECT_TRUE(d.remove("b"));
  EXPECT_FALSE(d.remove("b"));
  d.set("b", 4);
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "c", "b"}));
  Dictionary dup{{"k", 1}, {"k", 2}};  // the later value wins, the first position stays
  EXPECT_EQ(dup.size(), 1u);
  EXPECT_EQ(dup["k"], Value(2));
}

// Random operations against a simple model, across several table sizes.
TEST(ValueTest, DictionaryMatchesAModelThroughRandomChanges) {
  std::mt19937 rng(12345);
  Dictionary d;
  std::vector<std::pair<std::string, int>> model;
  auto modelFind = [&](const std::string& k) {
    for (std::size_t i = 0; i < model.size(); ++i) {
      if (model[i].first == k) return static_cast<std::ptrdiff_t>(i);
    }
    return std::ptrdiff_t{-1};
  };
  for (int step = 0; step < 6000; ++step) {
    std::string key = "key-" + std::to_string(rng() % (step < 3000 ? 12 : 60));
    int op = static_cast<int>(rng() % 10);
    if (op < 6) {
      int value = static_cast<int>(rng() % 1000);
      d.set(key, value);
      std::ptrdiff_t pos = modelFind(key);
      if (pos >= 0) {
        model[static_cast<std::size_t>(pos)].second = value;
      } else {
        model.emplace_back(key, value);
      }
    } else if (op < 8) {
      std::ptrdiff_t pos = modelFind(key);
      ASSERT_EQ(d.remove(key), pos >= 0);
      if (pos >= 0) model.erase(model.begin() + pos);
    } else if (op == 8) {
      Dictionary copy = d;  // copies carry their table
      copy.set("only-in-copy", 1);
      ASSERT_EQ(d.find("only-in-copy"), nullptr);
      d = copy;
      d.remove("only-in-copy");
    } else {
      const Value* found = d.find(key);
      std::ptrdiff_t pos = modelFind(key);
      ASSERT_EQ(found != nullptr, pos >= 0) << key;
      if (found) {
        ASSERT_EQ(found->intValue(), model[static_cast<std::size_t>(pos)].second);
      }
    }
    ASSERT_EQ(d.size(), model.size());
  }
  ASSERT_EQ(d.size(), model.size());
  for (std::size_t i = 0; i < model.size(); ++i) {
    EXPECT_EQ(d.entries()[i].first, model[i].first);
    EXPECT_EQ(d.entries()[i].second.intValue(), model[i].second);
    ASSERT_NE(d.find(model[i].first), nullptr);
  }
  d.clear();
  EXPECT_TRUE(d.empty());
  EXPECT_EQ(d.find("key-1"), nullptr);
}

// Every byte of a key, and only its bytes, go into its hash, whatever its
// length and wherever it lies in memory.
TEST(ValueTest, DictionaryKeyHashesTakeEveryByteOfTheKey) {
  for (std::size_t n = 0; n <= 24; ++n) {
    std::string key;
    for (std::size_t i = 0; i < n; ++i) key.push_back(static_cast<char>('a' + i));
    const std::uint32_t hash = Dictionary::hashKey(key);
    // The same bytes elsewhere, between other bytes.
    for (char around : {'\0', '\xff', 'z'}) {
      std::string padded = std::string(3, around) + key + std::string(9, around);
      EXPECT_EQ(Dictionary::hashKey(std::string_view(padded).substr(3, n)), hash) << n;
    }
    for (std::size_t i = 0; i < n; ++i) {
      std::string changed = key;
      changed[i] = static_cast<char>(changed[i] ^ 0x40);
      EXPECT_NE(Dictionary::hashKey(changed), hash) << "length " << n << ", byte " << i;
    }
  }
}

TEST(ValueTest, DictionaryTableSizes) {
  struct Case {
    std::size_t entries;
    std::size_t capacity;
  };
  // The first listed size of at least floor(n * 1.33); small tables may be full.
  const Case cases[] = {{0, 0}, {1, 3},  {2, 3},   {3, 3},     {4, 7},      {5, 7},
                        {6, 7}, {7, 13}, {10, 13}, {100, 191}, {1000, 1723}};
  for (const Case& c : cases) {
    EXPECT_EQ(Dictionary::capacityFor(c.entries), c.capacity) << c.entries;
    std::vector<std::string> keys;
    std::vector<std::uint32_t> hashes;
    std::vector<Value> values;
    for (std::size_t i = 0; i < c.entries; ++i) {
      keys.push_back("key" + std::to_string(i));
      hashes.push_back(Dictionary::hashKey(keys.back()));
      values.emplace_back(static_cast<long long>(i));
    }
    Dictionary built = Dictionary::adopt(keys.data(), hashes.data(), values.data(), c.entries);
    EXPECT_EQ(built.capacity(), c.capacity) << c.entries;
    Dictionary grown;
    for (std::size_t i = 0; i < c.entries; ++i)
      grown.set("key" + std::to_string(i), static_cast<long long>(i));
    EXPECT_EQ(grown.capacity(), c.capacity) << c.entries;
    EXPECT_EQ(built, grown);
    for (std::size_t i = 0; i < c.entries; ++i) {
      ASSERT_NE(built.find("key" + std::to_string(i)), nullptr);
      EXPECT_EQ(built.entries()[i].first, "key" + std::to_string(i));
    }
    // In a full table (3 of 3) a miss ends after every slot was probed.
    EXPECT_EQ(built.find("absent"), nullptr) << c.entries;
    // An adopted dictionary has places for its entries only; a key added
    // later moves them to full storage, with or without a larger table.
    built.set("added", -1);
    EXPECT_EQ(built.capacity(), Dictionary::capacityFor(c.entries + 1)) << c.entries;
    grown.set("added", -1);
    EXPECT_EQ(built, grown) << c.entries;
    std::vector<std::uint32_t> stored(built.size());
    built.entryHashes(stored.data());
    for (std::size_t i = 0; i < built.size(); ++i) {
      EXPECT_EQ(stored[i], Dictionary::hashKey(built.entries()[i].first)) << c.entries;
    }
    EXPECT_EQ(built.entries().back().first, "added");
  }
  Dictionary shrinking{{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}};
  shrinking.remove("a");
  shrinking.remove("b");
  EXPECT_EQ(shrinking.capacity(), 7u);  // only adding a key resizes the table
}

// Copies and regrowth file the keys under the hashes the table holds; the
// table must answer each key's own hash in entry order whatever shape it got
// (reserved larger, renumbered by removals, copied into a smaller table,
// regrown).
TEST(ValueTest, DictionaryTablesKeepEachKeysHashThroughCopiesAndRegrowth) {
  auto expectConsistent = [](const Dictionary& d, const std::string& step) {
    std::vector<std::uint32_t> hashes(d.size());
    d.entryHashes(hashes.data());
    for (std::size_t i = 0; i < d.size(); ++i) {
      const std::string& key = d.entries()[i].first;
      EXPECT_EQ(hashes[i], Dictionary::hashKey(key)) << step << ": " << key;
      EXPECT_EQ(d.find(key, hashes[i]), &d.entries()[i].second) << step << ": " << key;
    }
    EXPECT_EQ(d.find("absent", Dictionary::hashKey("absent")), nullptr) << step;
  };
  Dictionary d;
  d.reserve(40);
  for (int i = 0; i < 30; ++i) d.set("key" + std::to_string(i), i);
  for (int i = 0; i < 30; i += 3) d.remove("key" + std::to_string(i));
  expectConsistent(d, "after removals");

  Dictionary smaller = d;  // a table of capacityFor(20), not the reserved one
  EXPECT_EQ(smaller.capacity(), Dictionary::capacityFor(d.size()));
  EXPECT_LT(smaller.capacity(), d.capacity());
  EXPECT_EQ(smaller, d);
  expectConsistent(smaller, "copied into a smaller table");
  Dictionary same = smaller;  // the same capacity: the table itself is copied
  expectConsistent(same, "copied at the same capacity");

  for (int i = 100; i < 400; ++i) same.set("key" + std::to_string(i), i);  // several regrowths
  expectConsistent(same, "regrown");
  for (int i = 100; i < 400; ++i) ASSERT_EQ(same["key" + std::to_string(i)], Value(i));

  // A set with the key's hash replaces in place or appends, as set() does.
  same.set("key1", Dictionary::hashKey("key1"), Value("replaced"));
  same.set("new", Dictionary::hashKey("new"), Value(7));
  EXPECT_EQ(same.entries()[0].first, "key1");
  EXPECT_EQ(same["key1"], Value("replaced"));
  EXPECT_EQ(same.entries().back().first, "new");
  expectConsistent(same, "after hashed sets");
}

TEST(ValueTest, DictionaryAdoptKeepsTheFirstPlaceAndTheLastValue) {
  std::string keys[] = {"id", "name", "id"};
  std::uint32_t hashes[] = {Dictionary::hashKey("id"), Dictionary::hashKey("name"),
                            Dictionary::hashKey("id")};
  Value values[] = {Value(1), Value("n"), Value(2)};
  Dictionary d = Dictionary::adopt(keys, hashes, values, 3);
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"id", "name"}));
  EXPECT_EQ(d["id"], Value(2));
}

// Keys whose home slot is the last one of a 7-slot table: their cluster wraps
// to the start. Removing any of them must leave every other key findable and
// the remaining entries in order.
TEST(ValueTest, DictionaryRemovalInAWrappedCluster) {
  std::vector<std::string> atEnd;
  std::vector<std::string> atStart;
  for (int i = 0; atEnd.size() < 3 || atStart.size() < 1; ++i) {
    std::string key = "k" + std::to_string(i);
    const std::uint32_t home = Dictionary::hashKey(key) % 7;
    if (home == 6 && atEnd.size() < 3) atEnd.push_back(key);
    if (home == 0 && atStart.empty()) atStart.push_back(key);
  }
  const std::vector<std::string> order = {atEnd[0], atEnd[1], atStart[0], atEnd[2]};
  for (const std::string& removed : order) {
    Dictionary d;
    for (std::size_t i = 0; i < order.size(); ++i) d.set(order[i], static_cast<long long>(i));
    ASSERT_EQ(d.capacity(), 7u);
    ASSERT_TRUE(d.remove(removed));
    std::vector<std::string> expected;
    for (const std::string& key : order) {
      if (key != removed) expected.push_back(key);
    }
    EXPECT_EQ(d.keys(), expected) << removed;
    for (std::size_t i = 0; i < order.size(); ++i) {
      const Value* v = d.find(order[i]);
      if (order[i] == removed) {
        EXPECT_EQ(v, nullptr);
      } else {
        ASSERT_NE(v, nullptr) << order[i] << " after removing " << removed;
        EXPECT_EQ(v->intValue(), static_cast<long long>(i));
      }
    }
  }
}

// Storage of a class derived from ArrayRep or DictionaryRep (as a higher
// layer keeps its own collections) is only read through a Value: a change
// takes the contents into plain storage, moved when the value held the only
// reference, copied otherwise.
struct CountedArray : ArrayRep {
  explicit CountedArray(kx::Array objects, int* destroyed)
      : ArrayRep(std::move(objects)), destroyed(destroyed) {
    derived = true;
  }
  ~CountedArray() override { ++*destroyed; }
  int* destroyed;
};

struct CountedDictionary : DictionaryRep {
  explicit CountedDictionary(kx::Dictionary d, int* destroyed)
      : DictionaryRep(std::move(d)), destroyed(destroyed) {
    derived = true;
  }
  ~CountedDictionary() override { ++*destroyed; }
  int* destroyed;
};

TEST(ValueTest, DerivedCollectionStorageIsCopiedOnWrite) {
  int destroyed = 0;
  {
    Value shared = Value::adopt(
        new CountedArray({Value(1), Value("two, long enough to allocate")}, &destroyed));
    const ArrayRep* rep = shared.arrayRep();
    EXPECT_EQ(shared, Value::array({1, "two, long enough to allocate"}));
    Value copy = shared;
    copy.mutableArray().push_back(Value(3));
    EXPECT_EQ(shared.arrayRep(), rep);
    EXPECT_EQ(shared.size(), 2u);
    EXPECT_FALSE(copy.arrayRep()->derived);
    EXPECT_EQ(copy, Value::array({1, "two, long enough to allocate", 3}));

    // The only holder: the objects move out and the derived storage goes.
    Value only = Value::adopt(new CountedArray({Value("moved")}, &destroyed));
    const Value* element = &only.array()[0];
    kx::Array& mine = only.mutableArray();
    EXPECT_EQ(&mine[0], element);
    EXPECT_FALSE(only.arrayRep()->derived);
    EXPECT_EQ(destroyed, 1);
  }
  EXPECT_EQ(destroyed, 2);

  destroyed = 0;
  {
    Value shared = Value::adopt(new CountedDictionary(Dictionary{{"a", 1}}, &destroyed));
    Value copy = shared;
    copy.set("b", 2);
    EXPECT_EQ(shared, Value::dict({{"a", 1}}));
    EXPECT_EQ(copy, Value::dict({{"a", 1}, {"b", 2}}));
    EXPECT_FALSE(copy.dictionaryRep()->derived);
    EXPECT_TRUE(shared.dictionaryRep()->derived);
    Value only = Value::adopt(new CountedDictionary(Dictionary{{"a", 1}}, &destroyed));
    only.mutableDict().remove("a");
    EXPECT_TRUE(only.dict().empty());
    EXPECT_EQ(destroyed, 1);
  }
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(Value(1).arrayRep(), nullptr);
  EXPECT_EQ(Value::array({}).dictionaryRep(), nullptr);
}

// Strings made from characters keep them in the value's own storage and make
// the std::string of string() on demand; strings made from a std::string keep
// it. Every way of making one must read the same through every accessor, and
// survive copies, moves and writes through mutableString().
TEST(ValueTest, StringsReadTheSameHoweverTheyWereMade) {
  const std::string shortText = "fifteen bytes!!";  // kept by std::string itself
  const std::string longText = "a string well past the length a std::string keeps inline";
  struct Case {
    const char* how;
    Value (*make)(const std::string&);
  };
  const Case cases[] = {
      {"C string", [](const std::string& t) { return Value(t.c_str()); }},
      {"string_view", [](const std::string& t) { return Value(std::string_view(t)); }},
      {"std::string", [](const std::string& t) { return Value(std::string(t)); }},
  };
  for (const Case& c : cases) {
    for (const std::string& text : {shortText, longText, std::string()}) {
      SCOPED_TRACE(std::string(c.how) + ": \"" + text + "\"");
      Value v = c.make(text);
      EXPECT_EQ(v.stringView(), text);
      EXPECT_EQ(v.size(), text.size());
      EXPECT_EQ(v.string(), text);
      EXPECT_EQ(v.stringView(), text);  // after string() made its std::string
      EXPECT_EQ(v.stringView().data(), v.string().data());
      EXPECT_EQ(&v.string(), &v.string());

      Value copy = v;  // shares the storage, and so the std::string
      EXPECT_EQ(&copy.string(), &v.string());
      Value moved = std::move(copy);
      EXPECT_EQ(&moved.string(), &v.string());
      EXPECT_EQ(moved, Value(text));

      // A write goes to a copy of its own; the original keeps its text, and
      // both accessors of the written value see the write.
      moved.mutableString() += "+";
      EXPECT_EQ(v.stringView(), text);
      EXPECT_EQ(v.string(), text);
      EXPECT_EQ(moved.stringView(), text + "+");
      EXPECT_EQ(moved.string(), text + "+");

      // The sole owner writes in place, after its std::string was made.
      Value sole = c.make(text);
      sole.mutableString().append(" and more");
      EXPECT_EQ(sole.stringView(), text + " and more");
      EXPECT_EQ(sole, Value(text + " and more"));
      EXPECT_EQ(sole.stringValue(), text + " and more");
    }
  }
  EXPECT_EQ(Value(7).stringView(), "");
  EXPECT_EQ(Value("12 apples").intValue(), 12);
  EXPECT_EQ(Value(std::string_view("  -3.5e1 is a number, and this text is long")).doubleValue(),
            -35.0);
}

// The std::string of a string made from characters is made once, by the
// first caller, even when several threads holding copies ask at the same time.
TEST(ValueTest, StringsMakeTheirStdStringOnceUnderConcurrentReaders) {
  for (int round = 0; round < 50; ++round) {
    const Value shared(std::string_view("read by every thread at the same time, round "));
    constexpr int kThreads = 4;
    std::latch start(kThreads);
    const std::string* seen[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t, mine = shared] {
        start.arrive_and_wait();
        seen[t] = &mine.string();
        if (mine.stringView() != *seen[t]) std::abort();
      });
    }
    for (auto& th : threads) th.join();
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
    EXPECT_EQ(*seen[0], "read by every thread at the same time, round ");
  }
}

// An arena's pieces stay usable until each is given back, whatever happens
// to the arena: closed, moved on to later blocks, destroyed. (Under the
// address sanitizer a block freed too early or never freed fails the test.)
TEST(ValueArenaTest, PiecesOutliveTheirArenaAndAreGivenBackOneByOne) {
  struct Piece {
    unsigned char* bytes;
    std::size_t size;
  };
  std::vector<Piece> pieces;
  {
    ValueArena arena;
    // Small pieces over several growing blocks, and pieces larger than the
    // first blocks, one of them first in a new arena and after close().
    const std::size_t sizes[] = {16000, 1, 8, 24, 100, 3000, 5000, 16000, 40, 7};
    for (int round = 0; round < 40; ++round) {
      for (std::size_t size : sizes) {
        auto* bytes = static_cast<unsigned char*>(arena.allocate(size));
        ASSERT_NE(bytes, nullptr) << size;
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(bytes) % 8, 0u);
        std::memset(bytes, static_cast<int>(pieces.size() & 0xFF), size);
        pieces.push_back({bytes, size});
      }
      if (round == 20) arena.close();  // later pieces come from new blocks
    }
    EXPECT_EQ(arena.allocate(1 << 20), nullptr);  // too big for any block
  }
  auto intact = [](const Piece& p, std::size_t index) {
    for (std::size_t i = 0; i < p.size; ++i) {
      if (p.bytes[i] != static_cast<unsigned char>(index & 0xFF)) return false;
    }
    return true;
  };
  // Every other piece goes back on this thread, the rest on another one.
  for (std::size_t i = 0; i < pieces.size(); i += 2) ValueArena::release(pieces[i].bytes);
  for (std::size_t i = 1; i < pieces.size(); i += 2) ASSERT_TRUE(intact(pieces[i], i)) << i;
  std::thread([&pieces] {
    for (std::size_t i = 1; i < pieces.size(); i += 2) ValueArena::release(pieces[i].bytes);
  }).join();
}

// Strings and dictionaries in arena storage behave as any other: copies,
// moves and writes, after their arena is gone.
TEST(ValueArenaTest, StringsAndDictionariesInAnArenaOutliveIt) {
  const std::string longText = "a text long enough to keep its characters in the arena";
  Value text;
  Value shortText;
  Dictionary dictionary;
  {
    ValueArena arena;
    text = Value(std::string_view(longText), arena);
    shortText = Value(std::string_view("short"), arena);
    std::string keys[] = {"id", "name", "id"};
    std::uint32_t hashes[3];
    for (int i = 0; i < 3; ++i) hashes[i] = Dictionary::hashKey(keys[i]);
    Value values[] = {Value(1), Value(std::string_view(longText), arena), Value(3)};
    dictionary = Dictionary::adopt(keys, hashes, values, 3, &arena);
  }
  EXPECT_EQ(text.stringView(), longText);
  EXPECT_EQ(text.string(), longText);
  EXPECT_EQ(shortText, Value("short"));
  EXPECT_EQ(dictionary.keys(), (std::vector<std::string>{"id", "name"}));
  EXPECT_EQ(dictionary["id"], Value(3));

  Value copy = text;
  copy.mutableString() += "!";
  EXPECT_EQ(text.stringView(), longText);
  EXPECT_EQ(copy.stringView(), longText + "!");

  Dictionary moved = std::move(dictionary);
  Dictionary copied = moved;
  for (int i = 0; i < 20; ++i) moved.set("k" + std::to_string(i), i);  // grows out of the arena
  EXPECT_TRUE(moved.remove("id"));
  EXPECT_EQ(moved.size(), 21u);
  EXPECT_EQ(moved["name"], Value(longText));
  EXPECT_EQ(copied, Dictionary({{"id", 3}, {"name", longText}}));
  Value holder(std::move(copied));
  Value other = holder;
  other.set("id", 4);
  EXPECT_EQ(holder["id"], Value(3));
}

// Releasing an array of records looks at the records ahead; records that
// are shared, of other kinds, or arrays themselves all come through it.
TEST(ValueTest, ArraysOfRecordsReleaseEveryKindOfItem) {
  std::vector<Value> kept;
  {
    kx::Array items;
    for (int i = 0; i < 60; ++i) {
      switch (i % 4) {
        case 0:
        case 1:
          items.push_back(Value::dict({{"id", i}, {"name", "record number " + std::to_string(i)}}));
          break;
        case 2: items.push_back(Value::array({Value::dict({{"inner", i}})})); break;
        default:
          items.push_back(Value("a string item long enough for storage " + std::to_string(i)));
      }
      if (i % 7 == 0) kept.push_back(items.back());
    }
    Value array(std::move(items));
    Value copy = array;  // the array storage itself is shared, then released twice
  }
  ASSERT_EQ(kept.size(), 9u);
  for (std::size_t k = 0; k < kept.size(); ++k) {
    const int i = static_cast<int>(k * 7);
    switch (i % 4) {
      case 0:
      case 1:
        EXPECT_EQ(kept[k],
                  Value::dict({{"id", i}, {"name", "record number " + std::to_string(i)}}));
        break;
      case 2: EXPECT_EQ(kept[k], Value::array({Value::dict({{"inner", i}})})); break;
      default:
        EXPECT_EQ(kept[k].stringView(),
                  "a string item long enough for storage " + std::to_string(i));
    }
  }
}

TEST(ValueTest, DescriptionIsReadable) {
  Value v = Value::dict({
      {"a", Value::array({1, true, nullptr, 2.5})},
      {"s", "say \"hi\"\n"},
      {"d", Value::data("\x01\xff", 2)},
      {"t", Value::date(3)},
  });
  EXPECT_EQ(v.description(),
            "{\"a\": [1, true, null, 2.5], \"s\": \"say \\\"hi\\\"\\n\", \"d\": <01ff>, "
            "\"t\": date(3)}");
  EXPECT_EQ(testing::PrintToString(Value("x")), "\"x\"");
}

}  // namespace
}  // namespace kx
