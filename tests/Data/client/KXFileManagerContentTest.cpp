// Content, resource and temporary files of KXFileManager: reading with the
// encoding fallback and the missing-content text, the editor copy, writers
// that report failures and keep the old bytes, moves across file systems,
// resource files that are named only once their bytes are on disk, and
// temporary copies for preview under concurrent requests.
#include "Data/client/KXFileManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CommonUtils/KXConfiguration.h"
#include "CommonUtils/KXErrorDomain.h"
#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXHeadlessErrorPresenter.h"
#include "Data/DataUtil/KXHtmlUtil.h"
#include "Data/StoreTestSupport.h"
#include "Data/client/KXDataClient.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "account/KXSession.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "platform/PropertyList.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"

namespace {

using Op = kxtest::FaultInjectingFileSystem::Op;
using Fault = kxtest::FaultInjectingFileSystem::Fault;

kx::FileSystem& posix() { return kx::FileSystem::Posix(); }

std::string readAll(const std::string& path) {
  std::string contents;
  EXPECT_TRUE(posix().readFile(path, &contents, nullptr)) << path;
  return contents;
}

std::string asString(const std::optional<kx::Bytes>& bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<none>");
}

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<kx::DirectoryEntry> entries;
  kx::ignoreError(posix().listDirectory(directory, &entries, nullptr));  // missing: no names
  std::vector<std::string> names;
  for (const kx::DirectoryEntry& e : entries) names.push_back(e.name);
  return names;
}

class KXFileManagerContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::MainQueue::shared().drain();
    presenter_ = std::make_shared<KXHeadlessErrorPresenter>();
    KXErrorPresenter::install(presenter_);
    KXSession::defaultSession().setCurrentUser("");
    user_ = kx::Places::applicationDataRoot() + "/EmptyUser";
    kxtest::OpenLogFileNow();
    contents_ = manager().URLForCurrentUserContentDirectory();
    ASSERT_EQ(contents_, user_ + "/Contents");
  }
  void TearDown() override {
    drainQueues();
    kx::MainQueue::shared().drain();
    manager().setCopyCompleteHandler(nullptr);
    KXErrorPresenter::install(nullptr);
  }
  static KXFileManager& manager() { return KXFileManager::defaultManauger(); }
  static void drainQueues() {
    ASSERT_TRUE(kxtest::waitForQueue(manager().queueForContent()));
    ASSERT_TRUE(kxtest::waitForQueue(manager().queueForWriteResource()));
    ASSERT_TRUE(kxtest::waitForQueue(manager().queueForCopyResource()));
  }
  std::vector<std::string> presented() {
    kx::MainQueue::shared().drain();
    std::vector<std::string> keys;
    for (const kx::Error& e : presenter_->presentedErrors()) {
      keys.push_back(e.localizedDescription());
    }
    presenter_->clear();
    return keys;
  }
  // Stores a note's content file directly.
  std::string storeContent(const std::string& fileId, std::string_view bytes) {
    const std::string path = manager().URLForContentFile(fileId, false);
    EXPECT_TRUE(posix().writeFile(path, bytes, nullptr));
    return path;
  }

  kxtest::TempAppRoot root_;
  std::shared_ptr<KXHeadlessErrorPresenter> presenter_;
  std::string user_;
  std::string contents_;
};

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

TEST_F(KXFileManagerContentTest, TextIsUtf8OrGB18030AndNeverAGuess) {
  struct Case {
    const char* name;
    std::string stored;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"utf-8", "<p>中文 note</p>", "<p>中文 note</p>"},
      {"empty", "", ""},
      {"gb18030 two-byte", "\xd6\xd0\xce\xc4\xb1\xca\xbc\xc7", "中文笔记"},
      {"gb18030 four-byte", "\xa8\xa6\xa2\xe3\x94\x39\xfc\x36 ok", "é€😀 ok"},
      {"neither", "\xff\xfe\xfd", std::nullopt},
      {"gb18030 cut short", "\xd6\xd0\xce", std::nullopt},
      {"latin-1", "caf\xe9 au lait", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    storeContent("T1", c.stored);
    EXPECT_EQ(manager().originStringContentFileSync("T1", false), c.expected);
    EXPECT_EQ(manager().readStringContentFileSync("T1", false),
              c.expected.value_or("this note is missing"));
    // The bytes are handed over as they are stored.
    EXPECT_EQ(asString(manager().readDataContentFileSync("T1")), c.stored);
  }
}

TEST_F(KXFileManagerContentTest, MissingContentReadsAsTheMissingText) {
  const std::string missing = "this note is missing";
  EXPECT_EQ(KXFileManager::missingContentText(), missing);
  EXPECT_EQ(manager().originStringContentFileSync("NONE", false), std::nullopt);
  EXPECT_EQ(manager().readStringContentFileSync("NONE", false), missing);
  EXPECT_EQ(asString(manager().readDataContentFileSync("NONE")), missing);
  EXPECT_EQ(manager().readDataContentFileSync(""), std::nullopt) << "no path, no bytes";
  EXPECT_EQ(manager().readStringContentFileSync("", false), missing);

  // The queued readers add the missing-content error.
  std::vector<std::pair<std::optional<std::string>, kx::Error>> texts;
  manager().readStringContentFile(
      "NONE", [&](const auto& text, const kx::Error& e) { texts.emplace_back(text, e); }, false);
  manager().readStringContentFile(
      "", [&](const auto& text, const kx::Error& e) { texts.emplace_back(text, e); }, false);
  storeContent("HAS", "x");
  manager().readStringContentFile(
      "HAS", [&](const auto& text, const kx::Error& e) { texts.emplace_back(text, e); }, false);
  std::vector<kx::Error> dataErrors;
  manager().readDataContentFile("NONE",
                                [&](const auto&, const kx::Error& e) { dataErrors.push_back(e); });
  manager().readDataContentFile("HAS",
                                [&](const auto&, const kx::Error& e) { dataErrors.push_back(e); });
  drainQueues();

  const kx::Error missingError(kKXErrorDomain, kKXErrorCodeContentFileMissing);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0].first, missing);
  EXPECT_EQ(texts[0].second, missingError);
  EXPECT_EQ(texts[0].second.code(), 0x400000003);
  EXPECT_TRUE(texts[0].second.userInfo().isNull());
  EXPECT_EQ(texts[1].first, std::nullopt);
  EXPECT_FALSE(texts[1].second);
  EXPECT_EQ(texts[2].first, "x");
  EXPECT_FALSE(texts[2].second);
  ASSERT_EQ(dataErrors.size(), 2u);
  EXPECT_EQ(dataErrors[0], missingError);
  EXPECT_FALSE(dataErrors[1]);
}

TEST_F(KXFileManagerContentTest, BytesOfNormalFilesFallBackToTheContentById) {
  struct Case {
    const char* name;
    const char* fileId;
    const char* fileName;
    const char* storedFile;  // in Contents/{id}/, nullptr: none
    const char* byId;        // the content file by id, nullptr: none
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"stored file", "N1", "a.pdf", "PDF", "by id", "PDF"},
      {"stored file missing", "N2", "a.pdf", nullptr, "by id", "by id"},
      {"both missing", "N3", "a.pdf", nullptr, nullptr, "this note is missing"},
      {"a note's name reads by id", "N4", "a.md", "MD", "by id", "by id"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.storedFile) {
      ASSERT_TRUE(posix().createDirectory(contents_ + "/" + c.fileId, nullptr));
      ASSERT_TRUE(
          posix().writeFile(contents_ + "/" + c.fileId + "/" + c.fileName, c.storedFile, nullptr));
    }
    if (c.byId) storeContent(c.fileId, c.byId);
    EXPECT_EQ(asString(manager().readDataContentFileSync(c.fileId, c.fileName)), c.expected);
  }
  // The text reader with a file name falls back to the content by id too.
  EXPECT_EQ(manager().originStringContentFileSync("N2", false, "a.pdf"), "by id");
  EXPECT_EQ(manager().originStringContentFileSync("N1", false, "a.pdf"), "PDF");
}

TEST_F(KXFileManagerContentTest, EditorCopyIsMadeOnceFromThePlainContent) {
  storeContent("E1", "<p>first</p>");
  const std::string page = KXHtmlUtil::htmlForEditor("<p>first</p>");
  EXPECT_EQ(manager().readStringContentFileSync("E1", true), page);
  drainQueues();
  const std::string copy = contents_ + "/1/E1.html";
  EXPECT_EQ(readAll(copy), page);

  // From now on the copy is read, not the plain content.
  storeContent("E1", "<p>second</p>");
  EXPECT_EQ(manager().readStringContentFileSync("E1", true), page);
  EXPECT_EQ(manager().readStringContentFileSync("E1", false), "<p>second</p>");
  // Removing the content leaves the editor copy.
  kx::Error removeError{"pending", 1};
  manager().removeContentFile("E1", [&](const kx::Error& e) { removeError = e; });
  drainQueues();
  EXPECT_FALSE(removeError);
  EXPECT_FALSE(posix().exists(contents_ + "/1/E1"));
  EXPECT_TRUE(posix().exists(copy));

  // The editor copy is made from UTF-8 content only; no content, no copy.
  storeContent("E2", "\xd6\xd0\xce\xc4");
  EXPECT_EQ(manager().originStringContentFileSync("E2", true), std::nullopt);
  EXPECT_EQ(manager().readStringContentFileSync("E3", true), "this note is missing");
  drainQueues();
  EXPECT_FALSE(posix().exists(contents_ + "/2/E2.html"));
  EXPECT_FALSE(posix().exists(contents_ + "/3/E3.html"));
}

TEST_F(KXFileManagerContentTest, FailedEditorCopyStillAnswersThePage) {
  storeContent("E4", "<b>x</b>");
  kxtest::FaultInjectingFileSystem fs;
  fs.inject({.op = Op::OpenWrite, .pathContains = "E4.html", .times = -1, .error = EACCES});
  kx::FileSystem::ScopedDefaultForTesting use(&fs);
  EXPECT_EQ(manager().readStringContentFileSync("E4", true), KXHtmlUtil::htmlForEditor("<b>x</b>"));
  drainQueues();
  EXPECT_EQ(fs.injectedFailures(), 1);
  EXPECT_EQ(namesIn(contents_ + "/4"), std::vector<std::string>{"E4"});
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

TEST_F(KXFileManagerContentTest, FailedWritesReportFailureAndKeepTheOldFile) {
  const std::string path = storeContent("W1", "old bytes");
  struct Case {
    const char* name;
    Fault fault;
  };
  const std::vector<Case> cases = {
      {"disk full midway", {.op = Op::Append, .error = ENOSPC, .shortWrite = true}},
      {"cannot create", {.op = Op::OpenWrite, .error = EACCES}},
      {"sync fails", {.op = Op::Sync, .error = EIO}},
      {"close fails", {.op = Op::Close, .error = EIO}},
      {"rename fails", {.op = Op::Rename, .error = EIO}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kxtest::FaultInjectingFileSystem fs;
    fs.inject(c.fault);
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    kx::Error error;
    EXPECT_FALSE(manager().writeContentFileSync(std::string("new bytes"), "W1", &error));
    EXPECT_EQ(error.domain(), kx::kPosixErrorDomain);
    EXPECT_EQ(fs.injectedFailures(), 1);
    EXPECT_EQ(readAll(path), "old bytes");
    EXPECT_EQ(namesIn(contents_ + "/1"), std::vector<std::string>{"W1"}) << "no leftovers";
    EXPECT_EQ(presented(), std::vector<std::string>{"Save Note Content Fail"});
  }

  // The queued writers hand the outcome to their completion.
  kxtest::FaultInjectingFileSystem fs;
  fs.inject({.op = Op::Append, .times = 3, .error = ENOSPC});
  kx::FileSystem::ScopedDefaultForTesting use(&fs);
  std::vector<kx::Error> outcomes;
  auto record = [&](const kx::Error& e) { outcomes.push_back(e); };
  manager().writeContentFile(std::string("a"), "W1", record);
  manager().writeContentFile(std::string("b"), "W2", "b.pdf", record);
  manager().writeContentTmpFile(std::string("c"), "W1", record);
  manager().writeContentFile(std::string("fine"), "W1", record);
  drainQueues();
  ASSERT_EQ(outcomes.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(outcomes[i].code(), ENOSPC) << i;
  EXPECT_FALSE(outcomes[3]);
  EXPECT_EQ(readAll(path), "fine");
  EXPECT_FALSE(posix().exists(contents_ + "/W2/b.pdf"));
  EXPECT_FALSE(posix().exists(path + ".tmp"));
}

TEST_F(KXFileManagerContentTest, WritesGoToTheirPlaces) {
  EXPECT_TRUE(manager().writeContentFileSync(std::string("note"), "ABC"));
  EXPECT_TRUE(manager().writeContentFileSync(std::string("%PDF"), "F7", "report.pdf"));
  EXPECT_TRUE(manager().writeContentFileSync(std::string("# md"), "M7", "read.md"));
  EXPECT_TRUE(manager().writeContentTmpFileSync(std::string("draft"), "ABC"));
  EXPECT_EQ(readAll(contents_ + "/C/ABC"), "note");
  EXPECT_EQ(readAll(contents_ + "/F7/report.pdf"), "%PDF");
  EXPECT_EQ(readAll(contents_ + "/7/M7"), "# md");
  EXPECT_EQ(readAll(contents_ + "/C/ABC.tmp"), "draft");

  // An id that cannot name a file writes nothing and says so.
  for (const std::string id : {"", "..", "a/b"}) {
    kx::Error error;
    EXPECT_FALSE(manager().writeContentFileSync(std::string("x"), id, &error)) << id;
    EXPECT_EQ(error.code(), EINVAL) << id;
  }
  EXPECT_TRUE(presented().empty());
}

TEST_F(KXFileManagerContentTest, WritersMakeTheirTemporaryInTheirOwnFolderOfTheDataRoot) {
  const std::string writing = kx::Places::applicationDataRoot() + "/.writing";
  const std::string download = root_.path() + "/download";
  ASSERT_TRUE(posix().writeFile(root_.path() + "/outside.docx", "DOCX", nullptr));
  auto resource = [](const char* extraKey, kx::Value extra) {
    return kx::Value::dict({{"title", "book.docx"},
                            {"resource-entry-id", 11},
                            {"file-id", "RB"},
                            {"resource-entry-uuid", "U-B"},
                            {extraKey, std::move(extra)}});
  };
  struct Case {
    const char* name;
    std::function<std::string()> write;  // the written file's path
  };
  const std::vector<Case> cases = {
      {"note content",
       [&] {
         EXPECT_TRUE(manager().writeContentFileSync(std::string("note"), "N5"));
         return contents_ + "/5/N5";
       }},
      {"normal file",
       [&] {
         EXPECT_TRUE(manager().writeContentFileSync(std::string("%PDF"), "N6", "r.pdf"));
         return contents_ + "/N6/r.pdf";
       }},
      {"temporary content",
       [&] {
         EXPECT_TRUE(manager().writeContentTmpFileSync(std::string("draft"), "N7"));
         return contents_ + "/7/N7.tmp";
       }},
      {"editor copy",
       [&] {
         manager().readStringContentFileSync("N5", true);
         drainQueues();
         return contents_ + "/5/N5.html";
       }},
      {"copy to a new entry",
       [&] {
         EXPECT_TRUE(manager().copyContentFile("N6", "N8", "P", "P", "r.pdf"));
         return contents_ + "/N8/r.pdf";
       }},
      {"move across file systems",
       [&] {
         EXPECT_TRUE(posix().writeFile(download, "downloaded", nullptr));
         const std::string to = manager().URLForContentFile("N9", false, "r.pdf");
         kx::Error error{"pending", 1};
         manager().moveFileFromPath(download, to, [&](const kx::Error& e) { error = e; });
         drainQueues();
         EXPECT_FALSE(error) << error.localizedDescription();
         return to;
       }},
      {"resource",
       [&] {
         std::string path;
         manager().writeResourceFile(
             resource("resource-entry-data", "bytes"),
             [&](const std::string& p, const std::string&, const kx::Error&) { path = p; });
         drainQueues();
         return path;
       }},
      {"resource from outside",
       [&] {
         std::string path;
         manager().copyResourceFileFormExtern(
             resource("resource-entry-extern-file", root_.path() + "/outside.docx"),
             [&](const std::string& p, const std::string&, const kx::Error&) { path = p; });
         drainQueues();
         return path;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = Op::Rename, .pathContains = "/download", .error = EXDEV});
    std::string written;
    {
      kx::FileSystem::ScopedDefaultForTesting use(&fs);
      written = c.write();
    }
    ASSERT_FALSE(written.empty());
    EXPECT_TRUE(posix().exists(written));
    const std::string folder = kx::Path::deletingLastPathComponent(written);
    int temporaries = 0;
    for (const std::string& opened : fs.openedForWriting()) {
      if (!kx::FileSystem::isTemporaryName(kx::Path::lastPathComponent(opened))) continue;
      ++temporaries;
      EXPECT_EQ(kx::Path::deletingLastPathComponent(opened), writing) << opened;
    }
    EXPECT_EQ(temporaries, 1);
    for (const std::string& name : namesIn(folder)) EXPECT_NE(name[0], '.') << name;
    for (const std::string& name : namesIn(kx::Path::deletingLastPathComponent(folder))) {
      EXPECT_FALSE(kx::FileSystem::isTemporaryName(name)) << name;
    }
    EXPECT_TRUE(namesIn(writing).empty()) << "the temporary was renamed into place";
  }
  EXPECT_TRUE(presented().empty());
}

TEST_F(KXFileManagerContentTest, NormalFileRewrittenWhileReadIsFoundAndReadWhole) {
  // Each version is larger than the one before, so that a file still being
  // written is the larger one once its bytes are in, and a cut or mixed
  // read shows: version k is 1 MiB + k pages of the letter 'a' + k.
  constexpr int kVersions = 16;
  auto version = [](int k) {
    return std::string((1 << 20) + k * 4096, static_cast<char>('a' + k));
  };
  auto isWholeVersion = [&](const kx::Bytes& bytes) {
    if (bytes.empty()) return false;
    const int k = bytes[0] - 'a';
    return k >= 0 && k < kVersions && std::string(bytes.begin(), bytes.end()) == version(k);
  };
  const std::string stored = contents_ + "/RW/movie.mp4";
  ASSERT_TRUE(manager().writeContentFileSync(version(0), "RW", "movie.mp4"));

  std::atomic<bool> done{false};
  int lookups = 0;
  std::vector<std::string> wrongPaths;
  int badReads = 0;
  std::thread reader([&] {
    // Lookups are cheap and reads are not: many lookups, some reads.
    while (!done.load() || lookups < 100) {
      const std::string path = manager().URLForContentFile("RW", false, "movie.mp4");
      if (path != stored) wrongPaths.push_back(path);
      if (++lookups % 8 == 0) {
        std::optional<kx::Bytes> bytes = manager().readDataContentFileSync("RW", "movie.mp4");
        if (!bytes || !isWholeVersion(*bytes)) ++badReads;
      }
    }
  });
  for (int k = 1; k < kVersions; ++k) {
    EXPECT_TRUE(manager().writeContentFileSync(version(k), "RW", "movie.mp4"));
  }
  done = true;
  reader.join();
  EXPECT_TRUE(wrongPaths.empty()) << wrongPaths.size() << " of " << lookups << " lookups answered "
                                  << (wrongPaths.empty() ? "" : wrongPaths.front());
  EXPECT_EQ(badReads, 0) << "reads that were no whole version";
  EXPECT_EQ(readAll(stored), version(kVersions - 1));
  EXPECT_EQ(namesIn(contents_ + "/RW"), std::vector<std::string>{"movie.mp4"});
}

// ---------------------------------------------------------------------------
// Renaming, copying, moving
// ---------------------------------------------------------------------------

TEST_F(KXFileManagerContentTest, RenameMovesTheOneStoredFile) {
  ASSERT_TRUE(manager().writeContentFileSync(std::string("%PDF"), "R1", "old.pdf"));
  std::vector<kx::Error> outcomes;
  auto record = [&](const kx::Error& e) { outcomes.push_back(e); };
  manager().renameContentFile("R1", "new.pdf", record);
  manager().renameContentFile("R1", "new.pdf", record);  // already so named
  manager().renameContentFile("R9", "gone.pdf", record);
  manager().renameContentFile("", "x.pdf", record);
  drainQueues();
  EXPECT_EQ(namesIn(contents_ + "/R1"), std::vector<std::string>{"new.pdf"});
  EXPECT_EQ(readAll(contents_ + "/R1/new.pdf"), "%PDF");
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_FALSE(outcomes[0]);
  EXPECT_FALSE(outcomes[1]);
  EXPECT_EQ(outcomes[2].code(), ENOENT);
  EXPECT_EQ(outcomes[3].code(), EINVAL);
}

TEST_F(KXFileManagerContentTest, CopyContentToANewEntry) {
  storeContent("S1", "note text");
  ASSERT_TRUE(manager().writeContentFileSync(std::string("%PDF"), "S2", "doc.pdf"));
  storeContent("D3", "already here");
  struct Case {
    const char* name;
    const char* source;
    const char* target;
    const char* toParent;
    const char* fileName;
    bool ok;
    std::vector<std::string> presented;
    const char* copiedTo;  // nullptr: nothing there afterwards
    const char* copied;
  };
  const std::vector<Case> cases = {
      {"note", "S1", "D1", "P", "t.note", true, {}, "/1/D1", "note text"},
      {"into the trash",
       "S1",
       "D2",
       "1",
       "t",
       true,
       {"parent book has been deleted!"},
       "/2/D2",
       "note text"},
      {"onto a file",
       "S1",
       "D3",
       "P",
       "t",
       false,
       {"Save Note Content Fail"},
       "/3/D3",
       "already here"},
      {"no content", "S9", "D4", "P", "t", true, {}, nullptr, nullptr},
      {"normal file", "S2", "D5", "P", "doc.pdf", true, {}, "/D5/doc.pdf", "%PDF"},
      {"bad id", "S1", "", "P", "t", false, {"copy content File error"}, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kx::Error error;
    EXPECT_EQ(manager().copyContentFile(c.source, c.target, "from", c.toParent, c.fileName, &error),
              c.ok);
    EXPECT_EQ(static_cast<bool>(error), !c.ok);
    EXPECT_EQ(presented(), c.presented);
    if (c.copiedTo) {
      EXPECT_EQ(readAll(contents_ + c.copiedTo), c.copied);
    }
  }
  EXPECT_FALSE(posix().exists(contents_ + "/4/D4"));
  EXPECT_EQ(readAll(contents_ + "/1/S1"), "note text") << "the source stays";
}

TEST_F(KXFileManagerContentTest, MoveReplacesTheDestinationAndAlwaysAnswers) {
  const std::string dir = root_.path();
  ASSERT_TRUE(posix().writeFile(dir + "/download", "new", nullptr));
  const std::string target = storeContent("MV", "old");
  std::vector<kx::Error> outcomes;
  auto record = [&](const kx::Error& e) { outcomes.push_back(e); };
  manager().moveFileFromPath(dir + "/download", target, record);
  manager().moveFileFromPath(dir + "/download", target, record);  // gone now
  manager().moveFileFromPath("", target, record);
  drainQueues();
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_FALSE(outcomes[0]);
  EXPECT_EQ(outcomes[1].code(), ENOENT);
  EXPECT_EQ(outcomes[2].code(), EINVAL);
  EXPECT_EQ(readAll(target), "new");
  EXPECT_FALSE(posix().exists(dir + "/download"));
  EXPECT_EQ(presented(), std::vector<std::string>{"rename File error"});

  // A folder in the way is removed first.
  const std::string folder = contents_ + "/X/folder";
  ASSERT_TRUE(posix().createDirectory(folder + "/inner", nullptr));
  ASSERT_TRUE(posix().writeFile(dir + "/download", "file", nullptr));
  manager().moveFileFromPath(dir + "/download", folder, record);
  drainQueues();
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_FALSE(outcomes[3]);
  EXPECT_EQ(readAll(folder), "file");
}

TEST_F(KXFileManagerContentTest, MoveAcrossFileSystemsCopiesThenRenames) {
  const std::string download = root_.path() + "/download";
  const std::string target = storeContent("XD", "old");
  std::vector<kx::Error> outcomes;
  auto record = [&](const kx::Error& e) { outcomes.push_back(e); };
  {
    // The copy fails: the source stays and the old file is intact.
    ASSERT_TRUE(posix().writeFile(download, "fresh bytes", nullptr));
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = Op::Rename, .pathContains = "/download", .error = EXDEV});
    fs.inject({.op = Op::Append, .error = ENOSPC, .shortWrite = true});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    manager().moveFileFromPath(download, target, record);
    drainQueues();
    EXPECT_EQ(fs.injectedFailures(), 2);
  }
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].code(), ENOSPC);
  EXPECT_EQ(readAll(download), "fresh bytes");
  EXPECT_EQ(readAll(target), "old");
  EXPECT_EQ(namesIn(contents_ + "/D"), std::vector<std::string>{"XD"});
  EXPECT_EQ(presented(), std::vector<std::string>{"Save Note Content Fail"});
  {
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = Op::Rename, .pathContains = "/download", .error = EXDEV});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    manager().moveFileFromPath(download, target, record);
    drainQueues();
    EXPECT_EQ(fs.injectedFailures(), 1);
  }
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_FALSE(outcomes[1]);
  EXPECT_EQ(readAll(target), "fresh bytes");
  EXPECT_FALSE(posix().exists(download));
  EXPECT_EQ(namesIn(contents_ + "/D"), std::vector<std::string>{"XD"});
}

// ---------------------------------------------------------------------------
// Resource files
// ---------------------------------------------------------------------------

struct ResourceOutcome {
  std::string path;
  std::string hash;
  kx::Error error;
  bool bytesOnDiskAtCompletion = false;
  std::string bytesAtCompletion;
};

TEST_F(KXFileManagerContentTest, ResourceIsNamedOnlyOnceItsBytesAreOnDisk) {
  const std::string bytes(100000, 'r');
  std::vector<ResourceOutcome> outcomes;
  auto record = [&](const std::string& path, const std::string& hash, const kx::Error& e) {
    ResourceOutcome o;
    o.path = path;
    o.hash = hash;
    o.error = e;
    o.bytesOnDiskAtCompletion =
        !path.empty() && posix().readFile(path, &o.bytesAtCompletion, nullptr);
    outcomes.push_back(o);
  };
  auto info = [&](const char* uuid, kx::Value data) {
    return kx::Value::dict({{"title", "p.png"},
                            {"resource-entry-id", 20},
                            {"file-id", "RES1"},
                            {"resource-entry-uuid", uuid},
                            {"resource-entry-data", std::move(data)}});
  };
  manager().writeResourceFile(info("U-OK", kx::Bytes(bytes.begin(), bytes.end())), record);
  manager().writeResourceFile(info("U-TEXT", "text data"), record);
  manager().writeResourceFile(info("U-NODATA", nullptr), record);
  drainQueues();
  {
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = Op::Append, .pathContains = "U-FULL", .error = ENOSPC, .shortWrite = true});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    manager().writeResourceFile(info("U-FULL", kx::Bytes(bytes.begin(), bytes.end())), record);
    drainQueues();
    EXPECT_EQ(fs.injectedFailures(), 1);
  }
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_FALSE(outcomes[0].error);
  EXPECT_EQ(kx::Path::lastPathComponent(outcomes[0].path), "U-OK");
  EXPECT_TRUE(outcomes[0].bytesOnDiskAtCompletion);
  EXPECT_TRUE(outcomes[0].bytesAtCompletion == bytes);
  EXPECT_EQ(outcomes[0].hash, kx::Crypto::md5Hex(bytes));
  EXPECT_EQ(outcomes[1].bytesAtCompletion, "text data");
  EXPECT_EQ(outcomes[1].hash, kx::Crypto::md5Hex(std::string("text data")));
  for (std::size_t i : {2u, 3u}) {
    EXPECT_TRUE(outcomes[i].error) << i;
    EXPECT_EQ(outcomes[i].path, "") << i;
    EXPECT_EQ(outcomes[i].hash, "") << i;
  }
  EXPECT_EQ(outcomes[2].error.code(), EINVAL);
  EXPECT_EQ(outcomes[3].error.code(), ENOSPC);
  // Nothing of the failed write is left in the resource area.
  const std::string bucket = kx::Path::deletingLastPathComponent(outcomes[0].path);
  for (const std::string& first : namesIn(user_ + "/Resources")) {
    for (const std::string& second : namesIn(user_ + "/Resources/" + first)) {
      for (const std::string& name : namesIn(user_ + "/Resources/" + first + "/" + second)) {
        EXPECT_TRUE(name == "U-OK" || name == "U-TEXT") << name;
      }
    }
  }
  EXPECT_TRUE(posix().isDirectory(bucket));
}

TEST_F(KXFileManagerContentTest, ResourceCopiedInFromOutside) {
  const std::string outside = root_.path() + "/outside.docx";
  std::string bytes;
  for (int i = 0; i < 300000; ++i) bytes += static_cast<char>(i * 7);
  ASSERT_TRUE(posix().writeFile(outside, bytes, nullptr));
  ASSERT_TRUE(posix().writeFile(root_.path() + "/empty.png", "", nullptr));
  std::vector<ResourceOutcome> outcomes;
  auto record = [&](const std::string& path, const std::string& hash, const kx::Error& e) {
    ResourceOutcome o;
    o.path = path;
    o.hash = hash;
    o.error = e;
    o.bytesOnDiskAtCompletion =
        !path.empty() && posix().readFile(path, &o.bytesAtCompletion, nullptr);
    outcomes.push_back(o);
  };
  auto info = [&](const std::string& title, const std::string& file) {
    return kx::Value::dict({{"title", title},
                            {"resource-entry-id", 4},
                            {"file-id", "RX"},
                            {"resource-entry-uuid", "U-X"},
                            {"resource-entry-extern-file", file}});
  };
  manager().copyResourceFileFormExtern(info("outside.docx", outside), record);
  manager().copyResourceFileFormExtern(info("e.png", root_.path() + "/empty.png"), record);
  manager().copyResourceFileFormExtern(info("m.png", root_.path() + "/missing"), record);
  manager().copyResourceFileFormExtern(info("d.png", root_.path()), record);
  drainQueues();
  {
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = Op::Read, .pathContains = "outside.docx", .skip = 1, .error = EIO});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    manager().copyResourceFileFormExtern(info("z.png", outside), record);
    drainQueues();
    EXPECT_EQ(fs.injectedFailures(), 1);
  }
  ASSERT_EQ(outcomes.size(), 5u);
  EXPECT_FALSE(outcomes[0].error);
  EXPECT_EQ(kx::Path::lastPathComponent(outcomes[0].path), "outside.docx");
  EXPECT_EQ(kx::Path::lastPathComponent(kx::Path::deletingLastPathComponent(outcomes[0].path)),
            "RX");
  EXPECT_TRUE(outcomes[0].bytesAtCompletion == bytes);
  EXPECT_EQ(outcomes[0].hash, KXFileManager::datahashForResourceURL(outside));
  EXPECT_FALSE(outcomes[1].error);
  EXPECT_TRUE(outcomes[1].bytesOnDiskAtCompletion);
  EXPECT_EQ(outcomes[1].hash, "") << "as datahashForResourceURL has it";
  EXPECT_EQ(outcomes[2].error.code(), ENOENT);
  EXPECT_EQ(outcomes[3].error.code(), EISDIR);
  EXPECT_EQ(outcomes[4].error.code(), EIO);
  for (std::size_t i : {2u, 3u, 4u}) EXPECT_EQ(outcomes[i].path, "") << i;
  EXPECT_TRUE(readAll(outside) == bytes) << "the outside file stays";
  const std::string bucket =
      kx::Path::deletingLastPathComponent(kx::Path::deletingLastPathComponent(outcomes[0].path));
  for (const std::string& name : namesIn(bucket)) {
    EXPECT_TRUE(name == "RX" || name == "U-X") << "no half copy: " << name;
  }
}

TEST_F(KXFileManagerContentTest, RemovingAResourceFileFindsItThroughTheStore) {
  // The program's store of the signed-in user (here the anonymous one, in
  // this test's folder).
  KXDataClient& client = KXDataClient::defaultDataClient();
  std::shared_ptr<KXDataContext> data = client.dataContext();
  ASSERT_TRUE(data);
  std::string stored;
  manager().writeResourceFile(
      kx::Value::dict({{"title", "a.png"},
                       {"resource-entry-id", 5},
                       {"resource-entry-uuid", "U-RM"},
                       {"resource-entry-data", "bytes"}}),
      [&](const std::string& path, const std::string&, const kx::Error&) { stored = path; });
  drainQueues();
  ASSERT_FALSE(stored.empty());
  const std::string outside = root_.path() + "/not-ours.png";
  ASSERT_TRUE(posix().writeFile(outside, "keep", nullptr));
  data->performSyncWriteBlock([&](KXManagedObjectContext& c) {
    auto add = [&](const char* resourceId, const std::string& file) {
      KXManagedObjectPtr resource = c.insertNewObject("Resource");
      ASSERT_TRUE(resource);
      resource->setValue("fileId", kx::Value(resourceId));
      if (file.empty()) return;
      KXManagedObjectPtr entry = c.insertNewObject("ResourceEntry");
      ASSERT_TRUE(entry);
      entry->setValue("file", kx::Value(file));
      resource->setObject("entry", entry);
    };
    add("RM1", stored);
    add("RM2", outside);
    add("RM3", "");
    ASSERT_TRUE(c.save());
  });

  std::vector<kx::Error> outcomes;
  auto record = [&](const kx::Error& e) { outcomes.push_back(e); };
  for (const char* id : {"RM1", "RM2", "RM3", "UNKNOWN"}) manager().removeResourceFile(id, record);
  drainQueues();
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_FALSE(outcomes[0]);
  EXPECT_FALSE(posix().exists(stored));
  EXPECT_EQ(outcomes[1].code(), EPERM) << "nothing outside the application's folders is removed";
  EXPECT_EQ(readAll(outside), "keep");
  EXPECT_FALSE(outcomes[2]);
  EXPECT_FALSE(outcomes[3]);
}

TEST_F(KXFileManagerContentTest, PlaceholdersRaise) {
  try {
    manager().writeResourceFileSync(kx::Value());
    ADD_FAILURE() << "no exception";
  } catch (const kx::Exception& e) {
    EXPECT_EQ(e.name(), "KXMethodNotImplemented");
    EXPECT_EQ(e.reason(), "Method not implementd");
  }
  EXPECT_THROW(manager().resourceURLForResource(kx::Value()), kx::Exception);
  std::istringstream stream("resource bytes");
  try {
    KXFileManager::dataHashForResourceDataStream(stream);
    ADD_FAILURE() << "no exception";
  } catch (const kx::Exception& e) {
    EXPECT_EQ(e.name(), "KXMethodNotImplemented");
    EXPECT_EQ(e.reason(), "Method not implementd");
  }
}

// ---------------------------------------------------------------------------
// Temporary copies for preview
// ---------------------------------------------------------------------------

class KXFileManagerTempCopyTest : public KXFileManagerContentTest {
 protected:
  void SetUp() override {
    KXFileManagerContentTest::SetUp();
    stored_ = contents_ + "/Q1/slides.pdf";
    ASSERT_TRUE(posix().createDirectory(contents_ + "/Q1", nullptr));
    store("version 1", {1000, 0});
    manager().setCopyCompleteHandler([this](const std::string& fileId, const kx::Error& e) {
      std::lock_guard<std::mutex> lock(mu_);
      copies_.push_back({fileId, e});
      markedDuringCopy_.push_back(manager().copiedResourceInfos()[fileId] == kx::Value(true));
    });
  }
  void store(const std::string& bytes, kx::FileTime time) {
    ASSERT_TRUE(posix().writeFile(stored_, bytes, nullptr));
    ASSERT_TRUE(posix().setModificationTime(stored_, time, nullptr));
  }
  kx::Value request(const std::string& title = "slides.pdf", const std::string& id = "Q1") {
    return kx::Value::dict({{"file", stored_}, {"title", title}, {"fileId", id}});
  }
  std::string tempFolder(const std::string& id = "Q1") {
    return kx::Places::scratchRoot() + "/ZarvelNote-Tmp/Resources/" + id;
  }
  std::size_t copies() {
    std::lock_guard<std::mutex> lock(mu_);
    return copies_.size();
  }

  std::string stored_;
  std::mutex mu_;
  std::vector<std::pair<std::string, kx::Error>> copies_;  // guarded by mu_
  std::vector<bool> markedDuringCopy_;                     // guarded by mu_
};

TEST_F(KXFileManagerTempCopyTest, CopiesOnlyWhenTheStoredFileIsNewer) {
  manager().copyResourceToTemp(request());
  std::string found;
  manager().tempFileForResourceID("Q1", [&](const std::string& path) { found = path; });
  drainQueues();
  EXPECT_EQ(found, tempFolder() + "/slides.pdf");
  EXPECT_EQ(readAll(found), "version 1");
  kx::FileInfo info;
  ASSERT_TRUE(posix().getInfo(found, true, &info, nullptr));
  EXPECT_EQ(info.modificationTime, (kx::FileTime{1000, 0})) << "carried over";

  manager().copyResourceToTemp(request());
  drainQueues();
  EXPECT_EQ(copies(), 1u) << "an unchanged file is copied once";

  store("version 2", {2000, 0});
  manager().copyResourceToTemp(request("renamed.pdf"));
  drainQueues();
  EXPECT_EQ(copies(), 2u);
  EXPECT_EQ(namesIn(tempFolder()), std::vector<std::string>{"renamed.pdf"});
  EXPECT_EQ(manager().tempFileURLForResourceID("Q1"), tempFolder() + "/renamed.pdf");
  EXPECT_EQ(readAll(tempFolder() + "/renamed.pdf"), "version 2");
  EXPECT_EQ(manager().tempFileURLForResourceID("NOPE"), "");
  EXPECT_EQ(manager().tempFileURLForResourceID(".."), "");

  // A missing stored file queues nothing.
  manager().copyResourceToTemp(
      kx::Value::dict({{"file", root_.path() + "/missing"}, {"title", "m.pdf"}, {"fileId", "Q2"}}));
  drainQueues();
  EXPECT_EQ(copies(), 2u);
  EXPECT_FALSE(posix().exists(tempFolder("Q2") + "/m.pdf"));

  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& copy : copies_) EXPECT_FALSE(copy.second);
  for (bool marked : markedDuringCopy_) EXPECT_TRUE(marked);
  EXPECT_TRUE(manager().copiedResourceInfos().empty());
}

TEST_F(KXFileManagerTempCopyTest, ConcurrentRequestsCopyOnceAndAllSeeTheCopy) {
  // A second stored file, so that two ids are copied at once.
  const std::string other = contents_ + "/Q3/sheet.xlsx";
  ASSERT_TRUE(posix().createDirectory(contents_ + "/Q3", nullptr));
  ASSERT_TRUE(posix().writeFile(other, "sheet", nullptr));

  constexpr int kThreads = 8;
  constexpr int kRequestsPerThread = 20;
  std::mutex foundMu;
  std::vector<std::string> found;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kRequestsPerThread; ++i) {
        if (t % 2 == 0) {
          manager().copyResourceToTemp(request());
        } else {
          manager().copyResourceToTemp(
              kx::Value::dict({{"file", other}, {"title", "sheet.xlsx"}, {"fileId", "Q3"}}));
        }
        manager().tempFileForResourceID(t % 2 == 0 ? "Q1" : "Q3", [&](const std::string& path) {
          std::lock_guard<std::mutex> lock(foundMu);
          found.push_back(path);
        });
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  drainQueues();

  ASSERT_EQ(found.size(), static_cast<std::size_t>(kThreads * kRequestsPerThread));
  for (const std::string& path : found) {
    EXPECT_TRUE(path == tempFolder() + "/slides.pdf" || path == tempFolder("Q3") + "/sheet.xlsx")
        << "a lookup queued after a request sees the finished copy: " << path;
  }
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& copy : copies_) {
    EXPECT_FALSE(copy.second) << copy.first << ": " << copy.second.localizedDescription();
  }
  ASSERT_EQ(copies_.size(), 2u) << "one copy per id";
  EXPECT_NE(copies_[0].first, copies_[1].first);
  for (bool marked : markedDuringCopy_) EXPECT_TRUE(marked);
  EXPECT_TRUE(manager().copiedResourceInfos().empty());
  EXPECT_EQ(namesIn(tempFolder()), std::vector<std::string>{"slides.pdf"});
  EXPECT_EQ(namesIn(tempFolder("Q3")), std::vector<std::string>{"sheet.xlsx"});
}

TEST_F(KXFileManagerTempCopyTest, FailedCopyLeavesNoStaleCopyAndIsReported) {
  manager().copyResourceToTemp(request());
  drainQueues();
  store("version 2", {2000, 0});
  {
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = Op::Append, .error = ENOSPC, .shortWrite = true});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    manager().copyResourceToTemp(request());
    drainQueues();
    EXPECT_EQ(fs.injectedFailures(), 1);
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    ASSERT_EQ(copies_.size(), 2u);
    EXPECT_EQ(copies_[1].second.code(), ENOSPC);
  }
  EXPECT_TRUE(namesIn(tempFolder()).empty()) << "the old copy is not passed off as current";
  EXPECT_TRUE(namesIn(kx::Path::deletingLastPathComponent(tempFolder())) ==
              std::vector<std::string>{"Q1"})
      << "no half-made copy";
  EXPECT_TRUE(manager().copiedResourceInfos().empty());

  manager().copyResourceToTemp(request());
  drainQueues();
  EXPECT_EQ(readAll(tempFolder() + "/slides.pdf"), "version 2");
}

TEST_F(KXFileManagerTempCopyTest, WhetherTheCopyWasChanged) {
  EXPECT_FALSE(manager().tempFileForResourceIDModified("Q1", stored_)) << "no copy";
  manager().copyResourceToTemp(request());
  drainQueues();
  const std::string copy = tempFolder() + "/slides.pdf";
  struct Case {
    const char* name;
    std::string copyBytes;
    kx::FileTime copyTime;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"same bytes, same time", "version 1", {1000, 0}, false},
      {"edited outside, time kept", "version X", {1000, 0}, true},
      {"other size", "v1", {1000, 0}, true},
      {"copy newer", "version 1", {1000, 1}, true},
      {"copy older, same bytes", "version 1", {999, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(posix().writeFile(copy, c.copyBytes, nullptr));
    ASSERT_TRUE(posix().setModificationTime(copy, c.copyTime, nullptr));
    EXPECT_EQ(manager().tempFileForResourceIDModified("Q1", stored_), c.expected);
  }
  EXPECT_FALSE(manager().tempFileForResourceIDModified("Q1", root_.path() + "/missing"));

  // Two large files are not compared byte for byte.
  const std::uint64_t big = KXFileManager::kTempCompareLimit + 1;
  ASSERT_TRUE(posix().writeFile(copy, std::string(big, 'a'), nullptr));
  ASSERT_TRUE(posix().setModificationTime(copy, {1000, 0}, nullptr));
  store(std::string(big, 'b'), {1000, 0});
  EXPECT_FALSE(manager().tempFileForResourceIDModified("Q1", stored_));
  store("small", {1000, 0});
  EXPECT_TRUE(manager().tempFileForResourceIDModified("Q1", stored_));

  manager().removeAllItemsInTempURL("Q1");
  EXPECT_TRUE(namesIn(tempFolder()).empty());
  manager().clearTemp();
  drainQueues();
  EXPECT_FALSE(posix().exists(kx::Places::scratchRoot() + "/ZarvelNote-Tmp"));
}

TEST_F(KXFileManagerContentTest, TemporaryFileNamesNeverRepeat) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  std::vector<std::vector<std::string>> names(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) names[t].push_back(manager().URLForTempFile());
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> distinct;
  for (const auto& list : names) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads * kPerThread));
  for (const std::string& name : distinct) {
    ASSERT_EQ(kx::Path::pathExtension(name), "tmp") << name;
    ASSERT_FALSE(posix().exists(name)) << "only a name: " << name;
  }
}

// ---------------------------------------------------------------------------
// Configuration
// ---------------------------------------------------------------------------

TEST_F(KXFileManagerContentTest, ConfigurationWriteReportsItsOutcome) {
  KXConfiguration& configuration = KXConfiguration::sharedConfiguration();
  configuration.reload();
  configuration.setValue("16", "font-size");
  std::vector<kx::Error> outcomes;
  auto record = [&](const kx::Error& e) { outcomes.push_back(e); };
  manager().writeConfigurationFile(record);
  drainQueues();
  const std::string path = user_ + "/config";
  std::optional<kx::Value> saved = kx::PropertyList::readFile(path);
  ASSERT_TRUE(saved);
  EXPECT_EQ((*saved)["font-size"], kx::Value("16"));

  configuration.setValue("18", "font-size");
  {
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = Op::Rename, .pathContains = "config", .error = EIO});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    manager().writeConfigurationFile(record);
    drainQueues();
  }
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_FALSE(outcomes[0]);
  EXPECT_EQ(outcomes[1].code(), EIO);
  EXPECT_EQ(presented(), std::vector<std::string>{"Save User Configruation File Fail"})
      << "presented once, by the configuration";
  saved = kx::PropertyList::readFile(path);
  ASSERT_TRUE(saved);
  EXPECT_EQ((*saved)["font-size"], kx::Value("16")) << "the old file stays";
}

}  // namespace
