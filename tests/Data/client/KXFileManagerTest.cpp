#include "Data/client/KXFileManager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXHeadlessErrorPresenter.h"
#include "CommonUtils/KXHeadlessUIPort.h"
#include "CommonUtils/KXHooks.h"
#include "Data/StoreTestSupport.h"
#include "account/KXSession.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "platform/Time.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/TempAppRoot.h"

namespace {

using Op = kxtest::FaultInjectingFileSystem::Op;

kx::FileSystem& posix() { return kx::FileSystem::Posix(); }

class KXFileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::MainQueue::shared().drain();
    presenter_ = std::make_shared<KXHeadlessErrorPresenter>();
    KXErrorPresenter::install(presenter_);
    KXSession::defaultSession().setCurrentUser("");
    appdata_ = kx::Places::applicationDataRoot();
    user_ = appdata_ + "/EmptyUser";
    kxtest::OpenLogFileNow();
  }
  void TearDown() override {
    kx::MainQueue::shared().drain();
    KXErrorPresenter::install(nullptr);
    KXSession::defaultSession().setCurrentUser("");
  }
  static KXFileManager& manager() { return KXFileManager::defaultManauger(); }
  std::vector<std::string> presented() {
    kx::MainQueue::shared().drain();
    std::vector<std::string> keys;
    for (const kx::Error& e : presenter_->presentedErrors())
      keys.push_back(e.localizedDescription());
    return keys;
  }
  void makeFile(const std::string& path, std::size_t size) {
    ASSERT_TRUE(posix().writeFile(path, std::string(size, 'x'), nullptr));
  }

  kxtest::TempAppRoot root_;
  std::shared_ptr<KXHeadlessErrorPresenter> presenter_;
  std::string appdata_;
  std::string user_;
};

TEST_F(KXFileManagerTest, UserDirectoriesFollowTheSession) {
  EXPECT_EQ(manager().URLForApplicationDataDirectory(), appdata_);
  EXPECT_EQ(manager().URLForCurrentUserDataDirectory(), user_);
  EXPECT_TRUE(posix().isDirectory(user_));

  KXSession::defaultSession().setCurrentUser("用户7");
  EXPECT_EQ(manager().URLForCurrentUserDataDirectory(), appdata_ + "/用户7");
  EXPECT_TRUE(posix().isDirectory(appdata_ + "/用户7"));
  EXPECT_EQ(manager().URLForConfigurationFile(), appdata_ + "/用户7/config");
  EXPECT_EQ(manager().URLForHistoryDataFile(), appdata_ + "/用户7/history");
  EXPECT_EQ(manager().URLForLatestStateFile(), appdata_ + "/用户7/state");
  EXPECT_FALSE(posix().exists(appdata_ + "/用户7/config")) << "files are not made";

  // The hooks of the foundation layer ask the same questions.
  EXPECT_EQ(KXHooks::currentUserDataDirectory(), appdata_ + "/用户7");
  EXPECT_EQ(KXHooks::configurationFilePath(), appdata_ + "/用户7/config");
}

TEST_F(KXFileManagerTest, FixedDirectoriesAreMadeOnDemand) {
  struct Case {
    std::string path;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {manager().URLForCurrentUserContentDirectory(), user_ + "/Contents"},
      {manager().URLForCurrentUserResourceDirectory(), user_ + "/Resources"},
      {manager().URLForCurrentUserPreviewDirectory(), user_ + "/Preivew"},
      {manager().URLForCurrentUserThumbnailDirectory(), user_ + "/Thumbnail"},
      {manager().URLForCurrentUserPreviewDictoryWithSubDirectory(7), user_ + "/Preivew/7"},
      {manager().URLForCurrentUserThumbnailDictoryWithSubDirectory(0), user_ + "/Thumbnail/0"},
      {manager().URLForCurrentUserFulltextInexDirectory(), user_ + "/Index"},
      {manager().URLForBgImageFile(), appdata_ + "/bgImage"},
      {manager().URLForEditorFile(), appdata_ + "/editor"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.path, c.expected);
    EXPECT_TRUE(posix().isDirectory(c.expected)) << c.expected;
  }
  EXPECT_TRUE(presented().empty());
}

TEST_F(KXFileManagerTest, ContentFilesOfNotesAndNormalFiles) {
  struct Case {
    const char* fileId;
    bool forEditor;
    const char* fileName;  // nullptr: the two-argument form
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"ABC", false, nullptr, user_ + "/Contents/C/ABC"},
      {"ABC", true, nullptr, user_ + "/Contents/C/ABC.html"},
      {"ABC", false, "report.pdf", user_ + "/Contents/ABC/report.pdf"},
      {"ABC", true, "report.pdf", user_ + "/Contents/C/ABC.html"},
      {"ABC", false, "a.md", user_ + "/Contents/C/ABC"},
      {"ABC", false, "plan.mindmap", user_ + "/Contents/C/ABC"},
      {"ABC", false, "no-extension", user_ + "/Contents/C/ABC"},
      {"XY", false, "a/b.pdf", user_ + "/Contents/XY/a%2Fb.pdf"},
      {"A.", false, nullptr, user_ + "/Contents/%2E/A."},
      {"笔记", false, nullptr, user_ + "/Contents/记/笔记"},
  };
  for (const Case& c : cases) {
    const std::string path = c.fileName
                                 ? manager().URLForContentFile(c.fileId, c.forEditor, c.fileName)
                                 : manager().URLForContentFile(c.fileId, c.forEditor);
    EXPECT_EQ(path, c.expected) << c.fileId << " " << (c.fileName ? c.fileName : "");
  }
  EXPECT_TRUE(posix().isDirectory(user_ + "/Contents/C"));
}

TEST_F(KXFileManagerTest, NormalFileKeepsTheNameItWasStoredUnder) {
  const std::string dir = user_ + "/Contents/F1";
  ASSERT_TRUE(posix().createDirectory(dir, nullptr));
  makeFile(dir + "/old name.pdf", 10);
  EXPECT_EQ(manager().URLForContentFile("F1", false, "new name.pdf"), dir + "/old name.pdf");

  // Two files: the larger of the first two; the first when equal.
  makeFile(dir + "/y.bin", 20);
  ASSERT_TRUE(posix().removeFile(dir + "/old name.pdf", nullptr));
  makeFile(dir + "/x.bin", 10);
  EXPECT_EQ(manager().URLForContentFile("F1", false, "z.pdf"), dir + "/y.bin");
  makeFile(dir + "/x.bin", 30);
  EXPECT_EQ(manager().URLForContentFile("F1", false, "z.pdf"), dir + "/x.bin");
  makeFile(dir + "/x.bin", 20);
  EXPECT_EQ(manager().URLForContentFile("F1", false, "z.pdf"), dir + "/x.bin");
}

TEST_F(KXFileManagerTest, ANormalFilesLookupTakesNoHiddenFileButTheEntrysOwn) {
  // A temporary an older build's writer left in the folder, or a hidden
  // file of the user's tools: hidden, so it sorts first, and it may be the
  // larger file.
  const std::string dir = user_ + "/Contents/F2";
  ASSERT_TRUE(posix().createDirectory(dir, nullptr));
  for (const char* stray : {".report.pdf.tmp-00001234-5-89abcdef", ".DS_Store"}) {
    makeFile(dir + "/" + stray, 100);
  }
  EXPECT_EQ(manager().URLForContentFile("F2", false, "report.pdf"), dir + "/report.pdf")
      << "only hidden strays: the folder counts as empty";
  makeFile(dir + "/report.pdf", 10);
  EXPECT_EQ(manager().URLForContentFile("F2", false, "report.pdf"), dir + "/report.pdf");
  makeFile(dir + "/x.bin", 20);
  EXPECT_EQ(manager().URLForContentFile("F2", false, "report.pdf"), dir + "/x.bin");

  // A stored file whose title is hidden, even one shaped like a temporary's
  // name, is the entry's own: found under its name, beside a stray.
  const std::string titled = user_ + "/Contents/F5";
  const std::string title = ".notes.tmp-7ffffff0-5-0badf00d";
  ASSERT_TRUE(posix().createDirectory(titled, nullptr));
  makeFile(titled + "/" + title, 3);
  makeFile(titled + "/.report.pdf.tmp-00001234-5-89abcdef", 100);
  EXPECT_EQ(manager().URLForContentFile("F5", false, title), titled + "/" + title);

  // A name given on purpose is no temporary.
  const std::string tmpSibling = user_ + "/Contents/F3";
  ASSERT_TRUE(posix().createDirectory(tmpSibling, nullptr));
  makeFile(tmpSibling + "/F3.tmp", 1);
  EXPECT_EQ(manager().URLForContentFile("F3", false, "a.pdf"), tmpSibling + "/F3.tmp");

  // The folder of a temporary copy holds the copy alone (its writes make
  // their temporaries elsewhere), whatever its name.
  const std::string copy = manager().URLForTempResourceFileWithID("F4", ".hidden.pdf");
  EXPECT_EQ(manager().tempFileURLForResourceID("F4"), "");
  makeFile(copy, 5);
  EXPECT_EQ(manager().tempFileURLForResourceID("F4"), copy);
}

TEST_F(KXFileManagerTest, IdsThatCannotNameAFileGiveNoPath) {
  const std::string badIds[] = {"", ".", "..", "a/b", "../x", std::string("a\0b", 3)};
  for (const std::string& id : badIds) {
    EXPECT_EQ(manager().URLForContentFile(id, false), "") << id;
    EXPECT_EQ(manager().URLForContentFile(id, false, "x.pdf"), "") << id;
    EXPECT_EQ(manager().URLForTempResourceFileWithID(id, "x.png"), "") << id;
    EXPECT_EQ(manager().resourceFileURL(kx::Value::dict(
                  {{"title", "x.png"}, {"resource-entry-id", 1}, {"resource-entry-uuid", id}})),
              "")
        << id;
    kx::Error error;
    EXPECT_EQ(manager().URLForUserDataDirectory(id, &error), "") << id;
    EXPECT_EQ(error.code(), EINVAL) << id;
  }
  // A session whose user cannot name a folder has no data directory.
  KXSession::defaultSession().setCurrentUser("../../escape");
  EXPECT_EQ(manager().URLForCurrentUserDataDirectory(), "");
  EXPECT_EQ(manager().URLForCurrentUserContentDirectory(), "");
  EXPECT_EQ(manager().URLForConfigurationFile(), "");
  std::vector<kx::DirectoryEntry> entries;
  ASSERT_TRUE(posix().listDirectory(root_.path(), &entries, nullptr));
  for (const kx::DirectoryEntry& e : entries) EXPECT_NE(e.name, "escape");
}

TEST_F(KXFileManagerTest, ResourceFilesAreBucketedByEntryAndClock) {
  const std::int64_t before = kx::Time::nowSeconds() % 9;
  const std::string plain =
      manager().resourceFileURL(kx::Value::dict({{"title", "photo.png"},
                                                 {"resource-entry-id", 20},
                                                 {"file-id", "R1"},
                                                 {"resource-entry-uuid", "U-1"}}));
  const std::string office =
      manager().resourceFileURL(kx::Value::dict({{"title", "book.docx"},
                                                 {"resource-entry-id", 20},
                                                 {"file-id", "R1"},
                                                 {"resource-entry-uuid", "U-1"}}));
  const std::string negative = manager().resourceFileURL(kx::Value::dict(
      {{"title", "a.png"}, {"resource-entry-id", -3}, {"resource-entry-uuid", "U-2"}}));
  const std::string sneaky = manager().resourceFileURL(
      kx::Value::dict({{"title", "../../x.docx"}, {"resource-entry-id", 1}, {"file-id", "R2"}}));
  const std::int64_t after = kx::Time::nowSeconds() % 9;

  auto bucketed = [&](const std::string& path, const std::string& first, const std::string& rest) {
    for (std::int64_t t : {before, after}) {
      if (path == user_ + "/Resources/" + first + "/" + std::to_string(t) + rest) return true;
    }
    return false;
  };
  EXPECT_TRUE(bucketed(plain, "2", "/U-1")) << plain;
  EXPECT_TRUE(bucketed(office, "2", "/R1/book.docx")) << office;
  EXPECT_TRUE(bucketed(negative, "-3", "/U-2")) << negative;
  EXPECT_TRUE(bucketed(sneaky, "1", "/R2/..%2F..%2Fx.docx")) << sneaky;
  EXPECT_TRUE(posix().isDirectory(kx::Path::deletingLastPathComponent(office)));
}

TEST_F(KXFileManagerTest, IconImagesAreNamedByTheAddressPathAndQuery) {
  // The self info names the photo by its path on the service host.
  EXPECT_EQ(manager().URLForCurrentUserIconImageWithPath("/photo/u.png"),
            user_ + "/IconImage/" + kx::Crypto::sha1Hex("/photo/u.png?"));
  EXPECT_EQ(
      manager().URLForCurrentUserIconImageWithPath("/avatar/1.png?size=64#top"),
      manager().URLForCurrentUserIconImageWithPath("https://img.example/avatar/1.png?size=64"));
  const std::string a =
      manager().URLForCurrentUserIconImageWithPath("https://img.example/avatar/1.png?size=64");
  const std::string b =
      manager().URLForCurrentUserIconImageWithPath("https://img.example/avatar/1.png?size=128");
  EXPECT_EQ(a, user_ + "/IconImage/" + kx::Crypto::sha1Hex("/avatar/1.png?size=64"));
  EXPECT_NE(a, b);
  EXPECT_EQ(
      a, manager().URLForCurrentUserIconImageWithPath("https://img.example/avatar/1.png?size=64"));
  EXPECT_EQ(manager().URLForCurrentUserIconImageWithPath(""), "");
  EXPECT_EQ(manager().URLForCurrentUserIconImageWithPath("not a url"), "");
}

TEST_F(KXFileManagerTest, LayoutVersionCheckWritesTheVersionOnceAndQuitsWhenItCannot) {
  const std::string path = user_ + "/.version";
  manager().checkVersion();
  std::string text;
  ASSERT_TRUE(posix().readFile(path, &text, nullptr));
  EXPECT_EQ(text, "1.0");
  // A current or newer layout is left as it is.
  ASSERT_TRUE(posix().writeFile(path, "2.5", nullptr));
  manager().checkVersion();
  ASSERT_TRUE(posix().readFile(path, &text, nullptr));
  EXPECT_EQ(text, "2.5");

  // The file cannot be written: the program quits.
  auto ui = std::make_shared<KXHeadlessUIPort>();
  KXUIPort::install(ui);
  ASSERT_TRUE(posix().removeItem(path, nullptr));
  ASSERT_TRUE(posix().createDirectory(path, nullptr));  // a folder where the file goes
  manager().checkVersion();
  EXPECT_EQ(ui->quitRequests(), 1);
  KXUIPort::install(nullptr);
}

TEST_F(KXFileManagerTest, CleaningRemovesTheUserDirectoryAndTheNextRequestRemakesIt) {
  makeFile(manager().URLForCurrentUserDataDirectory() + "/ZarvelNote.db", 3);
  kx::Error error;
  EXPECT_EQ(manager().URLForCleanedUserDataDirectory("EmptyUser", &error), user_);
  EXPECT_FALSE(error);
  EXPECT_FALSE(posix().exists(user_));
  EXPECT_EQ(manager().URLForCurrentUserDataDirectory(), user_);
  std::vector<kx::DirectoryEntry> entries;
  ASSERT_TRUE(posix().listDirectory(user_, &entries, nullptr));
  EXPECT_TRUE(entries.empty());
}

TEST_F(KXFileManagerTest, FileWhereTheUserDirectoryBelongsIsRemovedWithoutMakingOne) {
  ASSERT_TRUE(kx::Places::ensureApplicationDataRoot(nullptr));
  makeFile(appdata_ + "/u2", 4);
  EXPECT_EQ(manager().URLForUserDataDirectory("u2", nullptr), appdata_ + "/u2");
  EXPECT_FALSE(posix().exists(appdata_ + "/u2"));
}

TEST_F(KXFileManagerTest, CleaningALinkedUserDirectoryLeavesItsTargetAlone) {
  const std::string outside = root_.path() + "/elsewhere";
  ASSERT_TRUE(posix().createDirectory(outside, nullptr));
  makeFile(outside + "/precious", 1);
  ASSERT_TRUE(kx::Places::ensureApplicationDataRoot(nullptr));
  ASSERT_TRUE(posix().createSymlink(outside, appdata_ + "/linked", nullptr));
  manager().URLForCleanedUserDataDirectory("linked", nullptr);
  EXPECT_TRUE(posix().exists(outside + "/precious"));
}

TEST_F(KXFileManagerTest, FileInTheWayIsReplacedOnlyInsideTheApplicationsFolders) {
  makeFile(manager().URLForCurrentUserDataDirectory() + "/Contents", 1);
  EXPECT_EQ(manager().URLForCurrentUserContentDirectory(), user_ + "/Contents");
  EXPECT_TRUE(posix().isDirectory(user_ + "/Contents"));

  const std::string outside = root_.path() + "/not-ours";
  makeFile(outside, 5);
  EXPECT_FALSE(manager().createNonExistsDir(outside));
  EXPECT_EQ(posix().fileSize(outside, nullptr), 5u);
  EXPECT_EQ(presented(), std::vector<std::string>{"Can not create file or directory"});
}

// The user's directory as one result fails where the older form still gives
// the path beside the error; both refuse a user id that cannot name a folder.
TEST_F(KXFileManagerTest, UserDirectoryThatCannotBeMadeIsAFailedResult) {
  ASSERT_TRUE(kx::Places::ensureApplicationDataRoot(nullptr));
  kxtest::FaultInjectingFileSystem fs;
  fs.inject({.op = Op::MakeDirectory, .pathContains = "/u3", .times = -1, .error = EACCES});
  kx::FileSystem::ScopedDefaultForTesting use(&fs);

  kx::ErrorOr<std::string> made = manager().cleanedUserDataDirectory("u3", false);
  ASSERT_TRUE(made.isError());
  EXPECT_EQ(made.error().code(), EACCES);
  kx::Error error;
  EXPECT_EQ(manager().URLForUserDataDirectory("u3", &error), appdata_ + "/u3");
  EXPECT_EQ(error.code(), EACCES);

  kx::ErrorOr<std::string> bad = manager().cleanedUserDataDirectory("../u3", false);
  ASSERT_TRUE(bad.isError());
  EXPECT_EQ(bad.error().code(), EINVAL);

  fs.clearFaults();
  made = manager().cleanedUserDataDirectory("u3", false);
  ASSERT_FALSE(made.isError());
  EXPECT_EQ(made.value(), appdata_ + "/u3");
  EXPECT_TRUE(posix().isDirectory(appdata_ + "/u3"));
}

TEST_F(KXFileManagerTest, DirectoryThatCannotBeMadeIsPresentedAndGivesNoPath) {
  const std::string userDirectory = manager().URLForCurrentUserDataDirectory();
  kxtest::FaultInjectingFileSystem fs;
  fs.inject({.op = Op::MakeDirectory, .pathContains = "/Contents", .times = -1, .error = EACCES});
  fs.inject({.op = Op::MakeDirectory, .pathContains = "/bgImage", .times = -1, .error = EACCES});
  kx::FileSystem::ScopedDefaultForTesting use(&fs);
  EXPECT_EQ(manager().URLForCurrentUserContentDirectory(), "");
  EXPECT_EQ(manager().URLForContentFile("ABC", false), "");
  EXPECT_EQ(manager().URLForBgImageFile(), appdata_ + "/bgImage") << "returned even so";
  const std::vector<std::string> keys = presented();
  ASSERT_FALSE(keys.empty());
  for (const std::string& key : keys) EXPECT_EQ(key, "Can not create file or directory");
}

TEST_F(KXFileManagerTest, TemporaryFilesLiveInTheScratchDirectory) {
  const std::string scratch = kx::Places::scratchRoot() + "/ZarvelNote-Tmp";
  const std::string temp = manager().URLForTempFile();
  EXPECT_EQ(kx::Path::deletingLastPathComponent(temp), scratch + "/Temp");
  EXPECT_EQ(kx::Path::pathExtension(temp), "tmp");
  const std::int64_t n = std::stoll(kx::Path::lastPathComponent(temp));
  EXPECT_GE(n, 0);
  EXPECT_LT(n, 1000000);
  EXPECT_TRUE(posix().isDirectory(scratch + "/Temp"));

  EXPECT_EQ(manager().URLForTempResourceFileWithID("F9", "a/b.png"),
            scratch + "/Resources/F9/a%2Fb.png");
  EXPECT_TRUE(posix().isDirectory(scratch + "/Resources/F9"));
  EXPECT_EQ(manager().URLForTempResourceFileWithID("F9", ""), "");
}

TEST_F(KXFileManagerTest, ShippedFilesAreFoundOrReported) {
  const std::string resources = root_.path() + "/resources";
  ASSERT_TRUE(posix().createDirectory(resources, nullptr));
  setenv(kx::Places::kResourcesEnvironmentVariable, resources.c_str(), 1);
  EXPECT_EQ(manager().URLForNameDict(), "");
  EXPECT_EQ(manager().URLForFulltextStopWordsFile(), "");
  EXPECT_EQ(presented(), std::vector<std::string>{"Application is corrupt."});

  makeFile(resources + "/names.dat", 1);
  makeFile(resources + "/stopwords.dat", 1);
  EXPECT_EQ(manager().URLForNameDict(), resources + "/names.dat");
  EXPECT_EQ(manager().URLForFulltextStopWordsFile(), resources + "/stopwords.dat");
  unsetenv(kx::Places::kResourcesEnvironmentVariable);
}

TEST_F(KXFileManagerTest, DigestsOfDataAndFiles) {
  EXPECT_EQ(KXFileManager::dataHashForResourceData(kx::Bytes{}),
            "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(KXFileManager::dataHashForResourceData(std::string("abc")),
            "900150983cd24fb0d6963f7d28e17f72");

  const std::string dir = root_.path();
  makeFile(dir + "/empty", 0);
  EXPECT_EQ(KXFileManager::datahashForResourceURL(dir + "/empty"), "");
  EXPECT_EQ(KXFileManager::datahashForResourceURL(dir + "/missing"), std::nullopt);

  // Several chunks, the last one short.
  std::string big;
  for (int i = 0; i < 100000; ++i) big += static_cast<char>('a' + i % 26);
  ASSERT_TRUE(posix().writeFile(dir + "/big", big, nullptr));
  EXPECT_EQ(KXFileManager::datahashForResourceURL(dir + "/big"), kx::Crypto::md5Hex(big));

  kxtest::FaultInjectingFileSystem fs;
  fs.inject({.op = Op::Read, .pathContains = "/big", .skip = 2});
  kx::FileSystem::ScopedDefaultForTesting use(&fs);
  EXPECT_EQ(KXFileManager::datahashForResourceURL(dir + "/big"), std::nullopt);
}

TEST_F(KXFileManagerTest, PathComponentHelpers) {
  EXPECT_TRUE(KXFileManager::isSafePathComponent("ABC"));
  EXPECT_TRUE(KXFileManager::isSafePathComponent("..a"));
  EXPECT_FALSE(KXFileManager::isSafePathComponent(".."));
  EXPECT_EQ(KXFileManager::encodedPathComponent(".."), "%2E%2E");
  EXPECT_EQ(KXFileManager::encodedPathComponent("."), "%2E");
  EXPECT_EQ(KXFileManager::encodedPathComponent(std::string("a/\0b", 4)), "a%2F%00b");
  EXPECT_EQ(KXFileManager::encodedPathComponent(""), "");

  EXPECT_TRUE(KXFileManager::isStrictlyBelow("/r/a", "/r"));
  EXPECT_TRUE(KXFileManager::isStrictlyBelow("/r//a/", "/r/"));
  EXPECT_FALSE(KXFileManager::isStrictlyBelow("/r", "/r"));
  EXPECT_FALSE(KXFileManager::isStrictlyBelow("/rx/a", "/r"));
  EXPECT_FALSE(KXFileManager::isStrictlyBelow("/r/../etc", "/r"));
  EXPECT_FALSE(KXFileManager::isStrictlyBelow("/r/a", ""));
  EXPECT_FALSE(KXFileManager::isStrictlyBelow("r/a", "r"));
}

TEST_F(KXFileManagerTest, QueuesAndCopyBookkeeping) {
  EXPECT_EQ(manager().queueForContent().label(), "com.zarvel.note.contentFile");
  EXPECT_EQ(manager().queueForWriteResource().label(), "com.zarvel.note.resFile.write");
  EXPECT_EQ(manager().queueForReadResource().label(), "com.zarvel.note.resFile.read");
  EXPECT_EQ(manager().queueForCopyResource().label(), "com.zarvel.note.resFile.copy");
  manager().updateCopiedResourceInfos([](kx::Dictionary& d) { d.set("F1", true); });
  EXPECT_EQ(manager().copiedResourceInfos()["F1"], kx::Value(true));
  manager().updateCopiedResourceInfos([](kx::Dictionary& d) { d.remove("F1"); });
  EXPECT_TRUE(manager().copiedResourceInfos().empty());
}

}  // namespace
