#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Places.h"
#include "platform/PropertyList.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/TempAppRoot.h"

namespace kx {
namespace {

class UserDefaultsTest : public testing::Test {
 protected:
  void SetUp() override { defaults().resetForTesting(); }
  void TearDown() override { defaults().resetForTesting(); }

  static UserDefaults& defaults() { return UserDefaults::standardUserDefaults(); }

  // Forgets everything in memory, so that the next call reads the file.
  static void reload() { defaults().resetForTesting(); }

  static std::string fileContents(const std::string& path) {
    std::string contents;
    // A file not written yet reads as empty.
    kx::ignoreError(FileSystem::Default().readFile(path, &contents, nullptr));
    return contents;
  }

  kxtest::TempAppRoot root_;
};

TEST_F(UserDefaultsTest, IsOneStoreKeptInTheApplicationDataRoot) {
  EXPECT_EQ(&UserDefaults::standardUserDefaults(), &defaults());
  EXPECT_EQ(UserDefaults::filePath(),
            Places::applicationDataRoot() + "/com.zarvel.note.ZarvelNoteMac.plist");
  // Nothing is written until something is set.
  EXPECT_TRUE(defaults().objectForKey("anything").isNull());
  EXPECT_FALSE(FileSystem::Default().exists(UserDefaults::filePath()));
}

TEST_F(UserDefaultsTest, ValuesSurviveAReload) {
  const Value pages = Value::dict({{"book-1", Value::dict({{"pages", Value::array({1, 2})}})}});
  Error error;
  ASSERT_TRUE(defaults().setBool(false, "autoLoginSwichState", &error))
      << error.localizedDescription();
  ASSERT_TRUE(defaults().setInteger(-1234567890123, "SyncEventID", &error));
  ASSERT_TRUE(defaults().setObject("3.2.1 <测试> & \"版本\"", "editorversionformac", &error));
  ASSERT_TRUE(defaults().setObject(pages, "DBallPenNotePage", &error));
  ASSERT_TRUE(defaults().setObject(Value::date(1796904000), "when", &error));
  ASSERT_TRUE(defaults().setObject(Value::data("\x00\xff", 2), "blob", &error));

  reload();
  EXPECT_TRUE(defaults().objectForKey("autoLoginSwichState").isBool());
  EXPECT_FALSE(defaults().boolForKey("autoLoginSwichState"));
  EXPECT_EQ(defaults().integerForKey("SyncEventID"), -1234567890123);
  EXPECT_EQ(defaults().stringForKey("editorversionformac"), "3.2.1 <测试> & \"版本\"");
  EXPECT_EQ(defaults().objectForKey("DBallPenNotePage"), pages);
  EXPECT_EQ(defaults().objectForKey("when"), Value::date(1796904000));
  EXPECT_EQ(defaults().objectForKey("blob"), Value::data("\x00\xff", 2));

  // The file is an ordinary property-list dictionary.
  auto onDisk = PropertyList::readFile(UserDefaults::filePath(), &error);
  ASSERT_TRUE(onDisk) << error.localizedDescription();
  EXPECT_EQ((*onDisk)["SyncEventID"], Value(-1234567890123LL));
}

TEST_F(UserDefaultsTest, RegisteredDefaultsShowThroughButAreNeverWritten) {
  defaults().registerDefaults(Dictionary{{"NSApplicationCrashOnExceptions", true}, {"history", 5}});
  EXPECT_TRUE(defaults().boolForKey("NSApplicationCrashOnExceptions"));
  EXPECT_EQ(defaults().integerForKey("history"), 5);

  // A stored value overrides the registered one; removing it uncovers it.
  ASSERT_TRUE(defaults().setInteger(7, "history"));
  EXPECT_EQ(defaults().integerForKey("history"), 7);
  ASSERT_TRUE(defaults().removeObjectForKey("history"));
  EXPECT_EQ(defaults().integerForKey("history"), 5);
  ASSERT_TRUE(defaults().setObject("x", "other"));

  const std::string onDisk = fileContents(UserDefaults::filePath());
  EXPECT_EQ(onDisk.find("NSApplicationCrashOnExceptions"), std::string::npos) << onDisk;
  EXPECT_EQ(onDisk.find("history"), std::string::npos) << onDisk;
  reload();
  EXPECT_FALSE(defaults().boolForKey("NSApplicationCrashOnExceptions"));
  EXPECT_EQ(defaults().stringForKey("other"), "x");
}

TEST_F(UserDefaultsTest, ReadersConvertLeniently) {
  struct Case {
    const char* key;
    Value value;
    bool asBool;
    std::int64_t asInteger;
    std::optional<std::string> asString;
  };
  const Case cases[] = {
      {"true", true, true, 1, "1"},
      {"false", false, false, 0, "0"},
      {"int", 42, true, 42, "42"},
      {"real", 1.9, true, 1, "1.9"},
      {"yes", "YES", true, 0, "YES"},
      {"no", "NO", false, 0, "NO"},
      {"digits", "123abc", true, 123, "123abc"},
      {"date", Value::date(5), false, 0, std::nullopt},
      {"data", Value::data("1", 1), false, 0, std::nullopt},
      {"list", Value::array({1}), false, 0, std::nullopt},
  };
  for (const auto& c : cases) ASSERT_TRUE(defaults().setObject(c.value, c.key)) << c.key;
  for (const auto& c : cases) {
    EXPECT_EQ(defaults().boolForKey(c.key), c.asBool) << c.key;
    EXPECT_EQ(defaults().integerForKey(c.key), c.asInteger) << c.key;
    EXPECT_EQ(defaults().stringForKey(c.key), c.asString) << c.key;
  }
  EXPECT_FALSE(defaults().boolForKey("missing"));
  EXPECT_EQ(defaults().integerForKey("missing"), 0);
  EXPECT_EQ(defaults().stringForKey("missing"), std::nullopt);
}

TEST_F(UserDefaultsTest, NullRemovesAndInvalidValuesAreRefusedWithoutChange) {
  ASSERT_TRUE(defaults().setObject("kept", "k"));
  Error error;
  // A dictionary from a JSON answer can hold nulls; it is refused, not stored
  // half, and the old value stays.
  EXPECT_FALSE(defaults().setObject(Value::dict({{"a", Value()}}), "k", &error));
  EXPECT_EQ(error.domain(), kCocoaErrorDomain);
  EXPECT_EQ(error.code(), kPropertyListWriteInvalidError);
  EXPECT_FALSE(defaults().setObject("bad\x01text", "k"));
  EXPECT_EQ(defaults().stringForKey("k"), "kept");

  ASSERT_TRUE(defaults().setObject(Value(), "k"));
  EXPECT_TRUE(defaults().objectForKey("k").isNull());
  reload();
  EXPECT_TRUE(defaults().objectForKey("k").isNull());
}

TEST_F(UserDefaultsTest, ACorruptFileIsKeptAsideAndTheStoreStartsEmpty) {
  const std::pair<const char*, std::string> cases[] = {
      {"not XML", "\x01\x02garbage"},
      {"truncated", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>"},
      {"not a dictionary", *PropertyList::serialize(Value::array({1, 2}))},
  };
  for (const auto& [what, contents] : cases) {
    SCOPED_TRACE(what);
    reload();
    const std::string path = UserDefaults::filePath();
    ASSERT_TRUE(Places::ensureApplicationDataRoot(nullptr));
    ASSERT_TRUE(FileSystem::Default().writeFile(path, std::string_view(contents), nullptr));

    EXPECT_TRUE(defaults().objectForKey("a").isNull());
    EXPECT_EQ(fileContents(path + ".corrupt"), contents);
    EXPECT_FALSE(FileSystem::Default().exists(path));

    ASSERT_TRUE(defaults().setObject("fresh", "a"));
    reload();
    EXPECT_EQ(defaults().stringForKey("a"), "fresh");
    EXPECT_EQ(fileContents(path + ".corrupt"), contents);
    FileSystem::Default().removeFile(path, nullptr);
  }
}

TEST_F(UserDefaultsTest, AFailedWriteKeepsTheChangeAndSynchronizeRetriesIt) {
  ASSERT_TRUE(defaults().setObject("old", "key"));
  kxtest::FaultInjectingFileSystem fs;
  kxtest::FaultInjectingFileSystem::Fault fault;
  fault.op = kxtest::FaultInjectingFileSystem::Op::Rename;
  fault.times = 2;
  fault.error = ENOSPC;
  fs.inject(fault);
  {
    FileSystem::ScopedDefaultForTesting use(&fs);
    Error error;
    EXPECT_FALSE(defaults().setObject("new", "key", &error));
    EXPECT_EQ(error.domain(), kPosixErrorDomain);
    EXPECT_EQ(error.code(), ENOSPC);
    EXPECT_EQ(defaults().stringForKey("key"), "new");  // kept in memory
    EXPECT_FALSE(defaults().synchronize(&error));      // the second fault
    EXPECT_EQ(PropertyList::readFile(UserDefaults::filePath())->operator[]("key"), Value("old"));
    EXPECT_TRUE(defaults().synchronize(&error)) << error.localizedDescription();
  }
  EXPECT_EQ(fs.injectedFailures(), 2);
  EXPECT_TRUE(defaults().synchronize());  // nothing pending
  reload();
  EXPECT_EQ(defaults().stringForKey("key"), "new");
}

TEST_F(UserDefaultsTest, ConcurrentWritersAndReadersLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kKeysEach = 10;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kKeysEach; ++i) {
        const std::string key = "k" + std::to_string(t) + "-" + std::to_string(i);
        EXPECT_TRUE(UserDefaults::standardUserDefaults().setInteger(t * 100 + i, key));
        EXPECT_EQ(UserDefaults::standardUserDefaults().integerForKey(key), t * 100 + i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  reload();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kKeysEach; ++i) {
      EXPECT_EQ(defaults().integerForKey("k" + std::to_string(t) + "-" + std::to_string(i)),
                t * 100 + i);
    }
  }
}

}  // namespace
}  // namespace kx
