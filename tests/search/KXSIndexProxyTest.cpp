#include "search/KXSIndexProxy.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Semaphore.h"
#include "platform/Text.h"
#include "search/KXSError.h"
#include "search/KXSFolderLock.h"
#include "search/KXSLucene.h"
#include "search/SearchTestSupport.h"
#include "support/QueueBarrier.h"

namespace {

using kxtest::SearchTest;

// A document offering every optional field.
class FullDocument : public KXSSumbitedDocumentProtocol {
 public:
  std::string fieldID() const override { return "/a/b/c"; }
  std::uint8_t fieldCount() const override { return 5; }
  std::optional<std::string> fieldContent() const override { return "content"; }
  std::optional<std::string> fieldTitle() const override { return "title"; }
  std::optional<std::string> fieldAuthor() const override { return "author"; }
  std::optional<std::string> fieldSource() const override { return "source"; }
  std::optional<std::string> fieldAttachment() const override { return "attachment"; }
};

class BareDocument : public KXSSumbitedDocumentProtocol {
 public:
  std::string fieldID() const override { return "BARE"; }
  std::uint8_t fieldCount() const override { return 0; }
};

class KXSIndexProxyTest : public SearchTest {
 protected:
  std::map<std::string, std::map<std::string, std::string>> stored() {
    std::vector<std::map<std::string, std::string>> documents;
    kx::Error error;
    EXPECT_TRUE(KXSLucene::storedDocuments(indexDirectory_, &documents, &error))
        << error.localizedDescription();
    std::map<std::string, std::map<std::string, std::string>> byID;
    for (auto& d : documents) {
      EXPECT_EQ(byID.count(d["docID"]), 0u) << "two documents for " << d["docID"];
      byID[d["docID"]] = d;
    }
    return byID;
  }

  std::optional<std::vector<std::string>> find(const std::string& text) {
    kx::Error error;
    auto ids = KXSLucene::search(indexDirectory_, {}, text, &error);
    EXPECT_FALSE(error) << error.localizedDescription();
    return ids;
  }
};

TEST(KXSIndexProxyTextTest, SearchableTextJoinsTheOfferedFieldsInOrderAndCutsAt500Units) {
  EXPECT_EQ(KXSIndexProxy::searchableText(FullDocument()),
            "attachment author content source title");
  EXPECT_EQ(KXSIndexProxy::searchableText(BareDocument()), "");

  // 499 ASCII characters and then a character of two UTF-16 units: it would
  // cross the limit and is left out whole.
  const std::string emoji = "\xF0\x9F\x98\x80";
  KXFTSDocument document("X", std::string(499, 'a') + emoji + "tail");
  const std::string text = KXSIndexProxy::searchableText(document);
  EXPECT_EQ(text, std::string(499, 'a'));
  EXPECT_TRUE(kx::Text::isValidUtf8(text));

  KXFTSDocument chinese("X", std::string(600 * 3, 'x'));
  std::string han;
  for (int i = 0; i < 600; ++i) han += "中";
  chinese.setDocContent(han);
  EXPECT_EQ(kx::Text::utf16Length(KXSIndexProxy::searchableText(chinese)), 500u);
}

TEST(KXSIndexProxyTextTest, CategoryIsTheDirectoryNameWithoutItsFirstCharacter) {
  const std::pair<const char*, const char*> cases[] = {
      {"0A1B2C3D", ""},  // bare file ids: "." without its first character
      {"/a/b/c", "a/b"},
      {"/a", ""},
      {"a/b", ""},
      {"/work/notes//x//", "work/notes"},
      {"/中文/笔记/x", "中文/笔记"},
      {"", ""},
  };
  for (const auto& [id, category] : cases) {
    EXPECT_EQ(KXSIndexProxy::categoryForID(id), category) << id;
  }
}

TEST_F(KXSIndexProxyTest, CreateNeedsAnExistingIndexFolderAndStopWordFile) {
  EXPECT_NE(KXSIndexProxy::create(), nullptr);

  kxtest::SearchTestConfig noFolder(root_.path() + "/missing", kxtest::shippedStopWordsFile());
  KXSContext::sharedContext().setConfig(noFolder);
  EXPECT_EQ(KXSIndexProxy::create(), nullptr);

  kxtest::SearchTestConfig noStopWords(indexDirectory_, root_.path() + "/missing.dat");
  KXSContext::sharedContext().setConfig(noStopWords);
  EXPECT_EQ(KXSIndexProxy::create(), nullptr);
}

TEST_F(KXSIndexProxyTest, FirstSubmissionCreatesTheIndexAndASecondReplacesTheDocument) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  // A removal before any index exists does nothing and is no failure.
  kx::Error error;
  EXPECT_TRUE(indexer->removeDocumentsSync(docs({{"N1", ""}}), &error));
  EXPECT_FALSE(KXSLucene::indexExists(indexDirectory_));

  index(*indexer, {{"N1", "first text about apples"}, {"N2", "pears"}});
  EXPECT_TRUE(KXSLucene::indexExists(indexDirectory_));
  index(*indexer, {{"N1", "second text about plums"}});

  auto documents = stored();
  ASSERT_EQ(documents.size(), 2u);
  EXPECT_EQ(documents["N1"]["docContent"], "second text about plums");
  EXPECT_EQ(documents["N1"]["docCategory"], "");
  EXPECT_EQ(find("apples"), std::nullopt);
  EXPECT_EQ(find("plums"), std::optional<std::vector<std::string>>({"N1"}));

  EXPECT_TRUE(indexer->removeDocumentsSync(docs({{"N1", ""}, {"UNKNOWN", ""}}), &error));
  EXPECT_FALSE(error);
  documents = stored();
  EXPECT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents.count("N2"), 1u);
}

TEST_F(KXSIndexProxyTest, OnlyTheFirst500UnitsAreStoredAndSearchable) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  std::string text;
  while (text.size() < 490) text += "filler ";
  text.resize(490, ' ');
  text += "insidewrd ";                         // ends at 500
  text += std::string(90, ' ') + "outsidewrd";  // past 500
  auto full = std::make_shared<FullDocument>();
  auto bare = std::make_shared<BareDocument>();
  KXSIndexProxy::Documents batch = docs({{"LONG", text}});
  batch.push_back(full);
  batch.push_back(bare);
  kx::Error error;
  EXPECT_EQ(indexer->submitDocumentsSync(batch, &error), (std::vector<bool>{true, true, true}));

  auto documents = stored();
  EXPECT_EQ(kx::Text::utf16Length(documents["LONG"]["docContent"]), 500u);
  EXPECT_EQ(find("insidewrd"), std::optional<std::vector<std::string>>({"LONG"}));
  EXPECT_EQ(find("outsidewrd"), std::nullopt);
  EXPECT_EQ(documents["/a/b/c"]["docCategory"], "a/b");
  EXPECT_EQ(documents["BARE"]["docContent"], "");
}

TEST_F(KXSIndexProxyTest, EachDocumentGetsItsOwnAnswer) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  KXSIndexProxy::Documents batch =
      docs({{"GOOD", "fine text"}, {"", "no identifier"}, {"BAD\xff", "ill-formed identifier"}});
  batch.push_back(nullptr);
  kx::Error error;
  EXPECT_EQ(indexer->submitDocumentsSync(batch, &error),
            (std::vector<bool>{true, false, false, false}));
  EXPECT_EQ(error.code(), KXSErrorInvalidDocument);
  EXPECT_EQ(stored().size(), 1u);
}

TEST_F(KXSIndexProxyTest, AsynchronousWorkRunsOnTheIndexQueueAndCompletesThere) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  std::vector<bool> indexed;
  std::string submitLabel;
  std::string removeLabel;
  kx::Error removeError = KXSMakeError(KXSErrorUnexpected, "not called");
  indexer->submitDocuments(docs({{"A", "alpha"}, {"B", "beta"}}),
                           [&](const std::vector<bool>& answer, const kx::Error& error) {
                             indexed = answer;
                             submitLabel = kx::Queue::currentLabel();
                             EXPECT_FALSE(error);
                           });
  indexer->removeDocuments(docs({{"A", ""}}), [&](const kx::Error& error) {
    removeError = error;
    removeLabel = kx::Queue::currentLabel();
  });
  ASSERT_TRUE(kxtest::waitForQueue(KXSIndexProxy::indexQueue()));
  EXPECT_EQ(indexed, (std::vector<bool>{true, true}));
  EXPECT_EQ(submitLabel, "com.zarvel.note.queue.fts-indexer");
  EXPECT_EQ(removeLabel, "com.zarvel.note.queue.fts-indexer");
  EXPECT_FALSE(removeError);
  EXPECT_EQ(stored().size(), 1u);
}

TEST_F(KXSIndexProxyTest, DestroyingTheIndexerFinishesTheQueuedWork) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  // Hold the queue so that the submission is certainly still waiting when
  // the indexer goes away.
  auto gate = std::make_shared<kx::Semaphore>();
  KXSIndexProxy::indexQueue().async([gate] { gate->wait(10); });
  indexer->submitDocuments(docs({{"LATE", "queued text"}}));
  std::thread release([gate] { gate->signal(); });
  indexer.reset();
  release.join();
  EXPECT_EQ(stored().count("LATE"), 1u);
}

TEST_F(KXSIndexProxyTest, ReloadTakesTheContextsNewPaths) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  const std::string second = root_.path() + "/Index2";
  std::filesystem::create_directories(second);
  kxtest::SearchTestConfig config(second, kxtest::shippedStopWordsFile());
  KXSContext::sharedContext().setConfig(config);
  // setConfig alone does not reach an existing indexer.
  EXPECT_EQ(indexer->currentIndexDirectoryPath(), indexDirectory_);
  KXSContext::sharedContext().setIsReload(true);
  EXPECT_EQ(indexer->currentIndexDirectoryPath(), second);
  index(*indexer, {{"N", "moved"}});
  EXPECT_TRUE(KXSLucene::indexExists(second));
  EXPECT_FALSE(KXSLucene::indexExists(indexDirectory_));
}

TEST_F(KXSIndexProxyTest, AStaleWriteLockIsBrokenButAnotherProcesssFolderLockIsRespected) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  index(*indexer, {{"OLD", "kept text"}});
  // The folder's lock file is never taken for an index file and removed:
  // another process must find the very file this one locks.
  const std::string folderLock = KXSIndexProxy::folderLockPath(indexDirectory_);
  struct stat before {};
  ASSERT_EQ(::stat(folderLock.c_str(), &before), 0);

  // A writer that died left its lock behind: the next batch breaks it.
  const std::string writeLock = indexDirectory_ + "/write.lock";
  std::ofstream(writeLock) << "";
  index(*indexer, {{"NEXT", "more text"}});
  EXPECT_FALSE(std::filesystem::exists(writeLock));
  struct stat after {};
  ASSERT_EQ(::stat(folderLock.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);

  // Another process holds the folder: the batch gives up without touching
  // the index, and the caller learns that nothing was indexed.
  const int fd = ::open(folderLock.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  std::ofstream(writeLock) << "";
  indexer->setLockTimeout(0);
  kx::Error error;
  EXPECT_EQ(indexer->submitDocumentsSync(docs({{"OLD", "replacement"}}), &error),
            std::vector<bool>{false});
  EXPECT_EQ(error.code(), KXSErrorIndexBusy);
  EXPECT_FALSE(indexer->removeDocumentsSync(docs({{"OLD", ""}}), &error));
  EXPECT_EQ(error.code(), KXSErrorIndexBusy);
  EXPECT_TRUE(std::filesystem::exists(writeLock));  // not ours to break

  ::flock(fd, LOCK_UN);
  ::close(fd);
  index(*indexer, {{"OLD", "replacement"}});
  auto documents = stored();
  EXPECT_EQ(documents["OLD"]["docContent"], "replacement");
  EXPECT_EQ(documents.size(), 2u);
}

TEST_F(KXSIndexProxyTest, AFailedReplacementKeepsTheOldDocument) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  index(*indexer, {{"KEEP", "original words"}});
  // Make every file the next writer could create impossible to write: a
  // folder stands where each new segment's files would go.
  std::vector<std::filesystem::path> blockers;
  for (int n = 0; n < 36 * 2; ++n) {
    const std::string digits = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = "_";
    if (n >= 36) name += digits[n / 36];
    name += digits[n % 36];
    for (const char* ext : {".fdt", ".fdx", ".fnm", ".frq", ".prx", ".tis", ".tii", ".nrm"}) {
      const std::filesystem::path path = indexDirectory_ + "/" + name + ext;
      if (!std::filesystem::exists(path)) {
        std::filesystem::create_directory(path);
        blockers.push_back(path);
      }
    }
  }
  kx::Error error;
  {
    kxtest::LibraryFailureLeaksIgnored knownLibraryLeaks;
    EXPECT_EQ(indexer->submitDocumentsSync(docs({{"KEEP", "replacement words"}}), &error),
              std::vector<bool>{false});
  }
  EXPECT_EQ(error.code(), KXSErrorLibrary);
  for (const auto& path : blockers) std::filesystem::remove(path);

  auto documents = stored();
  EXPECT_EQ(documents["KEEP"]["docContent"], "original words");
  EXPECT_EQ(find("original"), std::optional<std::vector<std::string>>({"KEEP"}));
  // The index still takes the replacement once the disk behaves.
  index(*indexer, {{"KEEP", "replacement words"}});
  EXPECT_EQ(stored()["KEEP"]["docContent"], "replacement words");
}

// ---------------------------------------------------------------------------
// Submissions waiting on the index queue share a writer session.

// A document whose identifier cannot even be read.
class UnreadableDocument : public KXSSumbitedDocumentProtocol {
 public:
  std::string fieldID() const override { throw std::runtime_error("unreadable"); }
  std::uint8_t fieldCount() const override { return 1; }
};

// Keeps the index queue busy until released, so that the calls made
// meanwhile are all waiting when it comes to them.
class QueueHold {
 public:
  QueueHold() : gate_(std::make_shared<kx::Semaphore>()) {
    auto gate = gate_;
    KXSIndexProxy::indexQueue().async([gate] { gate->wait(10); });
  }
  ~QueueHold() { release(); }
  void release() {
    if (released_) return;
    released_ = true;
    gate_->signal();
  }

 private:
  std::shared_ptr<kx::Semaphore> gate_;
  bool released_ = false;
};

// What one submission was answered.
struct Answer {
  std::vector<bool> indexed;
  int code = 0;  // the error's code, 0 for none
  bool operator==(const Answer&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Answer& a) {
  out << "{";
  for (bool b : a.indexed) out << (b ? "1" : "0");
  return out << " code " << a.code << "}";
}

// One call of a scripted sequence: a submission, or a removal when
// `removal` is set.
struct Call {
  KXSIndexProxy::Documents documents;
  bool removal = false;
};

class KXSIndexBatchTest : public KXSIndexProxyTest {
 protected:
  struct Counts {
    std::uint64_t sessions;
    std::uint64_t optimizations;
  };
  static Counts counts() { return {KXSLucene::writerSessions(), KXSLucene::optimizations()}; }

  // Runs the calls one after another, each alone on the queue.
  static std::vector<Answer> runAlone(KXSIndexProxy& indexer, const std::vector<Call>& calls) {
    std::vector<Answer> answers;
    for (const Call& call : calls) {
      kx::Error error;
      if (call.removal) {
        EXPECT_TRUE(indexer.removeDocumentsSync(call.documents, &error));
        continue;
      }
      Answer a;
      a.indexed = indexer.submitDocumentsSync(call.documents, &error);
      a.code = error ? static_cast<int>(error.code()) : 0;
      answers.push_back(a);
    }
    return answers;
  }

  // Makes the calls while the queue is held, then lets it take them up.
  static std::vector<Answer> runQueued(KXSIndexProxy& indexer, const std::vector<Call>& calls) {
    auto answers = std::make_shared<std::vector<Answer>>();
    {
      QueueHold hold;
      for (const Call& call : calls) {
        if (call.removal) {
          indexer.removeDocuments(call.documents,
                                  [](const kx::Error& error) { EXPECT_FALSE(error); });
          continue;
        }
        const std::size_t slot = answers->size();
        answers->emplace_back();
        indexer.submitDocuments(call.documents, [answers, slot](const std::vector<bool>& indexed,
                                                                const kx::Error& error) {
          (*answers)[slot] = Answer{indexed, error ? static_cast<int>(error.code()) : 0};
        });
      }
    }
    EXPECT_TRUE(kxtest::waitForQueue(KXSIndexProxy::indexQueue()));
    return *answers;
  }

  std::map<std::string, std::string> contents() {
    std::map<std::string, std::string> byID;
    for (auto& [id, fields] : stored()) byID[id] = fields["docContent"];
    return byID;
  }
};

TEST_F(KXSIndexBatchTest, QueuedSubmissionsShareOneWriterSessionAndOneOptimisation) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  index(*indexer, {{"SEED", "seed text"}});
  std::vector<Call> calls;
  for (int i = 0; i < 25; ++i) {
    calls.push_back({docs({{"N" + std::to_string(i), "note number " + std::to_string(i)}})});
  }
  const Counts before = counts();
  const std::vector<Answer> answers = runQueued(*indexer, calls);
  EXPECT_EQ(KXSLucene::writerSessions() - before.sessions, 1u);
  EXPECT_EQ(KXSLucene::optimizations() - before.optimizations, 1u);
  EXPECT_EQ(answers, std::vector<Answer>(calls.size(), Answer{{true}, 0}));
  EXPECT_EQ(stored().size(), 26u);
}

TEST_F(KXSIndexBatchTest, QueuedCallsEndLikeTheSameCallsMadeOneByOne) {
  auto unreadable = std::make_shared<UnreadableDocument>();
  KXSIndexProxy::Documents withUnreadable = docs({{"E", "echo"}});
  withUnreadable.push_back(unreadable);
  withUnreadable.push_back(nullptr);
  const std::vector<Call> calls = {
      {docs({{"A", "alpha one"}})},
      {docs({{"B", "beta"}, {"", "no identifier"}})},
      {docs({{"A", "alpha two"}, {"C", "gamma"}})},
      {docs({{"C", "gamma first"}, {"C", "gamma second"}, {"D", "delta"}})},
      {docs({{"BAD\xff", "ill-formed identifier"}, {"F", "foxtrot"}})},
      {docs({{"D", ""}}), true},
      {{}},
      {withUnreadable},
      {docs({{"A", "alpha three"}})},
  };

  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  const std::vector<Answer> alone = runAlone(*indexer, calls);
  const auto aloneContents = contents();

  const std::string second = root_.path() + "/Index2";
  std::filesystem::create_directories(second);
  configure(second);
  indexDirectory_ = second;
  const std::vector<Answer> queued = runQueued(*indexer, calls);

  EXPECT_EQ(queued, alone);
  EXPECT_EQ(contents(), aloneContents);
  // Spelled out, so that a fault shared by both paths shows too.
  const std::vector<Answer> expected = {
      {{true}, 0},
      {{true, false}, KXSErrorInvalidDocument},
      {{true, true}, 0},
      {{true, true, true}, 0},
      {{false, true}, KXSErrorInvalidDocument},
      {{}, 0},
      {{true, false, false}, KXSErrorInvalidDocument},
      {{true}, 0},
  };
  EXPECT_EQ(queued, expected);
  EXPECT_EQ(aloneContents, (std::map<std::string, std::string>{{"A", "alpha three"},
                                                               {"B", "beta"},
                                                               {"C", "gamma second"},
                                                               {"E", "echo"},
                                                               {"F", "foxtrot"}}));
}

TEST_F(KXSIndexBatchTest, ALaterCallOfTheSameIdentifierWinsAndRemovalsKeepTheirPlace) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  index(*indexer, {{"SEED", "seed text"}});
  const Counts before = counts();
  const std::vector<Answer> answers =
      runQueued(*indexer, {
                              {docs({{"X", "first words"}})},
                              {docs({{"X", "second words"}, {"Y", "yellow"}})},
                              {docs({{"Y", ""}}), true},
                              {docs({{"Y", "yonder"}})},
                              {docs({{"SEED", ""}}), true},
                              {docs({{"X", "third words"}})},
                          });
  EXPECT_EQ(answers,
            (std::vector<Answer>{{{true}, 0}, {{true, true}, 0}, {{true}, 0}, {{true}, 0}}));
  EXPECT_EQ(contents(),
            (std::map<std::string, std::string>{{"X", "third words"}, {"Y", "yonder"}}));
  EXPECT_EQ(find("first"), std::nullopt);
  EXPECT_EQ(find("second"), std::nullopt);
  EXPECT_EQ(find("yellow"), std::nullopt);
  // A removal ends a writer session (the submissions behind it wait for
  // it); the index is optimised once, when the queue has run empty.
  EXPECT_EQ(KXSLucene::writerSessions() - before.sessions, 3u);
  EXPECT_EQ(KXSLucene::optimizations() - before.optimizations, 1u);
}

TEST_F(KXSIndexBatchTest, TheFolderIsLetGoAfterEachChunkOfDocuments) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  indexer->setLockHoldLimits(2, 60 * 1000);
  // While the first chunk holds the folder, another holder queues for it;
  // it must get the folder before the second chunk is written.
  kx::Semaphore otherQueued;
  std::size_t seenByOther = 0;
  kx::Error otherError;
  std::thread other;
  bool started = false;
  KXSLucene::setReplacementPauseForTesting([&] {
    if (started) return;
    started = true;
    other = std::thread([&] {
      KXSFolderLock lock;
      if (!lock.acquire(indexDirectory_, 10, &otherError, [&] { otherQueued.signal(); })) {
        otherQueued.signal();
        return;
      }
      std::vector<std::map<std::string, std::string>> documents;
      if (KXSLucene::storedDocuments(indexDirectory_, &documents, &otherError)) {
        seenByOther = documents.size();
      }
    });
    otherQueued.wait(10);
  });
  const Counts before = counts();
  const std::vector<Answer> answers =
      runQueued(*indexer, {{docs({{"A", "a"}, {"B", "b"}, {"C", "c"}})},
                           {docs({{"D", "d"}})},
                           {docs({{"E", "e"}, {"F", "f"}})}});
  KXSLucene::setReplacementPauseForTesting(nullptr);
  if (other.joinable()) other.join();
  EXPECT_FALSE(otherError) << otherError.localizedDescription();
  EXPECT_EQ(seenByOther, 2u);
  EXPECT_EQ(answers,
            (std::vector<Answer>{{{true, true, true}, 0}, {{true}, 0}, {{true, true}, 0}}));
  EXPECT_EQ(stored().size(), 6u);
  EXPECT_EQ(KXSLucene::writerSessions() - before.sessions, 3u);
  EXPECT_EQ(KXSLucene::optimizations() - before.optimizations, 1u);
}

TEST_F(KXSIndexBatchTest, TheFolderIsLetGoOnceTheHoldTimeHasPassed) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  // With no hold time at all, every chunk takes just one submission: the
  // hold time never cuts a submission that fits in a chunk, so a reader sees
  // all of it or none.
  indexer->setLockHoldLimits(1000, 0);
  const Counts before = counts();
  const std::vector<Answer> answers = runQueued(
      *indexer, {{docs({{"A", "a"}, {"B", "b"}, {"A", "a again"}})}, {docs({{"D", "d"}})}});
  EXPECT_EQ(answers, (std::vector<Answer>{{{true, true, true}, 0}, {{true}, 0}}));
  EXPECT_EQ(contents(),
            (std::map<std::string, std::string>{{"A", "a again"}, {"B", "b"}, {"D", "d"}}));
  EXPECT_EQ(KXSLucene::writerSessions() - before.sessions, 2u);
  EXPECT_EQ(KXSLucene::optimizations() - before.optimizations, 1u);
}

TEST_F(KXSIndexBatchTest, ACallMadeFromACompletionRunsAfterTheCallsAnswered) {
  auto indexer = makeIndexer();
  ASSERT_TRUE(indexer);
  std::vector<bool> inner;
  {
    QueueHold hold;
    indexer->submitDocuments(docs({{"A", "outer"}}),
                             [&](const std::vector<bool>&, const kx::Error&) {
                               // Inline on the index queue.
                               kx::Error error;
                               inner = indexer->submitDocumentsSync(docs({{"A", "inner"}}), &error);
                             });
    indexer->submitDocuments(docs({{"B", "b"}}));
  }
  ASSERT_TRUE(kxtest::waitForQueue(KXSIndexProxy::indexQueue()));
  EXPECT_EQ(inner, std::vector<bool>{true});
  EXPECT_EQ(contents(), (std::map<std::string, std::string>{{"A", "inner"}, {"B", "b"}}));
}

}  // namespace
