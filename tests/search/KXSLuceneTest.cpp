#include "search/KXSLucene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Text.h"
#include "search/KXSError.h"
#include "search/SearchTestSupport.h"

namespace {

using Tokens = std::vector<std::string>;

const KXSLucene::StopWords kStopWords = {"the", "and", "a"};

TEST(KXSLuceneTest, AnalyserMakesEachCJKCharacterATokenAndOtherwiseActsAsTheStandardOne) {
  struct Case {
    const char* text;
    Tokens tokens;
  };
  const Case cases[] = {
      {"今天写中文笔记", {"今", "天", "写", "中", "文", "笔", "记"}},
      {"abc中文def", {"abc", "中", "文", "def"}},
      {"2023年 The Quick fox", {"2023", "年", "quick", "fox"}},
      {"中文，笔记。", {"中", "文", "笔", "记"}},  // punctuation is no token
      {"ひらがな 한국어", {"ひ", "ら", "が", "な", "한", "국", "어"}},
      {"𠀀𠀁", {"𠀀", "𠀁"}},
      {"AT&T foo@bar.com I.B.M. fox's", {"at&t", "foo@bar.com", "ibm", "fox"}},
      {"the and a", {}},
      {"c\\+\\+", {"c"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(KXSLucene::analyze(c.text, kStopWords), c.tokens) << c.text;
}

TEST(KXSLuceneTest, ALongRunOfHanCharactersLosesNoCharacter) {
  // The library's tokenizer cuts tokens at 255 characters and drops one
  // character at each cut; single-character tokens never reach that limit.
  std::string text;
  for (char32_t c = 0x4E00; c < 0x4E00 + 600; ++c)
    text += kx::Text::fromUtf32(std::u32string(1, c));
  const Tokens tokens = KXSLucene::analyze(text, {});
  ASSERT_EQ(tokens.size(), 600u);
  EXPECT_EQ(tokens[255], kx::Text::fromUtf32(U"\u4EFF"));
}

TEST(KXSLuceneTest, StopWordFileIsReadLeniently) {
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/stop.dat";
  std::ofstream(path) << "The\r\n\n  AND \nof\n";
  EXPECT_EQ(KXSLucene::loadStopWords(path), (KXSLucene::StopWords{"the", "and", "of"}));
  // A missing file gives no stop words and no failure.
  EXPECT_TRUE(KXSLucene::loadStopWords(root.path() + "/missing.dat").empty());
  EXPECT_TRUE(KXSLucene::loadStopWords("").empty());

  // The shipped file is lower-case ASCII.
  const KXSLucene::StopWords shipped = KXSLucene::loadStopWords(kxtest::shippedStopWordsFile());
  ASSERT_FALSE(shipped.empty());
  for (const std::string& word : shipped) {
    for (char c : word) EXPECT_TRUE(c >= 'a' && c <= 'z') << word;
  }
}

class KXSLuceneIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = root_.path() + "/Index";
    std::filesystem::create_directories(directory_);
  }

  bool add(const std::vector<KXSLucene::Document>& documents, std::vector<bool>* indexed,
           kx::Error* error) {
    bool create = false;
    if (!KXSLucene::prepareForWriting(directory_, &create, error)) return false;
    return KXSLucene::addDocuments(directory_, create, kStopWords, documents, indexed, error);
  }

  std::vector<std::map<std::string, std::string>> stored() {
    std::vector<std::map<std::string, std::string>> documents;
    kx::Error error;
    EXPECT_TRUE(KXSLucene::storedDocuments(directory_, &documents, &error))
        << error.localizedDescription();
    return documents;
  }

  // Overwrites every file of the index with bytes the library cannot read.
  void damageIndex() {
    for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
      if (entry.path().filename().string().rfind("segments_", 0) == 0) {
        std::ofstream(entry.path(), std::ios::trunc) << "not an index, not at all";
      }
    }
  }

  kxtest::TempAppRoot root_;
  std::string directory_;
};

TEST_F(KXSLuceneIndexTest, ReplacementKeepsOnlyTheNewestDocumentOfAnIdentifier) {
  std::vector<bool> indexed;
  kx::Error error;
  EXPECT_FALSE(KXSLucene::indexExists(directory_));
  ASSERT_TRUE(add({{"n1", "old text", ""}, {"n2", "other", ""}}, &indexed, &error));
  EXPECT_TRUE(KXSLucene::indexExists(directory_));
  // Twice in one batch: the later one wins and both count as indexed.
  ASSERT_TRUE(
      add({{"n1", "first replacement", ""}, {"n1", "second replacement", "cat"}}, &indexed, &error))
      << error.localizedDescription();
  EXPECT_EQ(indexed, (std::vector<bool>{true, true}));

  const auto documents = stored();
  ASSERT_EQ(documents.size(), 2u);
  std::map<std::string, std::string> byID;
  for (const auto& d : documents) byID[d.at("docID")] = d.at("docContent");
  EXPECT_EQ(byID["n1"], "second replacement");
  EXPECT_EQ(byID["n2"], "other");

  EXPECT_EQ(KXSLucene::search(directory_, kStopWords, "old", &error), std::nullopt);
  EXPECT_EQ(KXSLucene::search(directory_, kStopWords, "replacement", &error),
            std::optional<std::vector<std::string>>({"n1"}));
}

TEST_F(KXSLuceneIndexTest, ASearchBetweenAddingAndRemovingTheOldCopySeesOnlyTheNewText) {
  std::vector<bool> indexed;
  kx::Error error;
  ASSERT_TRUE(add({{"n1", "old words", ""}, {"n2", "other words", ""}}, &indexed, &error));
  using IDs = std::optional<std::vector<std::string>>;
  std::map<std::string, IDs> seen;
  std::size_t copies = 0;
  KXSLucene::setReplacementPauseForTesting([&] {
    // The new document is committed, the old one not yet removed.
    std::vector<std::map<std::string, std::string>> documents;
    ASSERT_TRUE(KXSLucene::storedDocuments(directory_, &documents, nullptr));
    copies = documents.size();
    for (const char* word : {"old", "new", "words", "other"}) {
      seen[word] = KXSLucene::search(directory_, kStopWords, word, &error);
    }
  });
  const bool added = add({{"n1", "new words", ""}}, &indexed, &error);
  KXSLucene::setReplacementPauseForTesting(nullptr);
  ASSERT_TRUE(added) << error.localizedDescription();
  EXPECT_EQ(copies, 3u);
  EXPECT_EQ(seen["old"], std::nullopt);
  EXPECT_EQ(seen["new"], IDs({"n1"}));
  EXPECT_EQ(seen["other"], IDs({"n2"}));
  ASSERT_TRUE(seen["words"]);
  EXPECT_EQ(seen["words"]->size(), 2u);
  EXPECT_EQ(KXSLucene::search(directory_, kStopWords, "old", &error), std::nullopt);
}

TEST_F(KXSLuceneIndexTest, ASearchRepeatedOnTheSameIndexFindsWhatItFoundBefore) {
  // Word and phrase searches, each twice in a row and the list twice, over
  // enough terms for the dictionary to span several blocks, with phrases
  // whose characters come against the dictionary's order (享 sorts before
  // 共). The reader is kept from one search to the next, and a copy of one
  // of the library's own file streams reads from wherever another copy of it
  // last read (the library copies them as it looks terms up, and anew on a
  // thread after any reader was closed there): every answer here must be
  // that of a freshly opened index.
  std::vector<KXSLucene::Document> documents;
  for (int i = 0; i < 200; ++i) {
    documents.push_back(
        {"B" + std::to_string(i), "shared words 共享笔记 B" + std::to_string(i), ""});
  }
  std::vector<bool> indexed;
  kx::Error error;
  ASSERT_TRUE(add(documents, &indexed, &error)) << error.localizedDescription();
  const struct {
    const char* query;
    std::size_t hits;
  } cases[] = {{" 共享", 200}, {"hared", 200}, {" 共享笔记", 200},        {"b15", 11},
               {" 笔记", 200}, {"b150", 1},    {"\"shared words\"", 200}, {"words", 200},
               {"19", 12},     {"b1", 111}};
  // Each query twice in a row, then the whole list again.
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& c : cases) {
      for (int round = 0; round < 2; ++round) {
        const auto ids = KXSLucene::search(directory_, kStopWords, c.query, &error);
        ASSERT_TRUE(ids) << c.query << ", pass " << pass << ", round " << round;
        EXPECT_EQ(ids->size(), c.hits) << c.query << ", pass " << pass << ", round " << round;
        EXPECT_FALSE(error) << error.localizedDescription();
      }
    }
  }
}

TEST_F(KXSLuceneIndexTest, AKeptReaderGivesWayToEveryCommit) {
  using IDs = std::optional<std::vector<std::string>>;
  kx::Error error;
  auto sortedSearch = [&](const char* query) -> IDs {
    IDs ids = KXSLucene::search(directory_, kStopWords, query, &error);
    EXPECT_FALSE(error) << query << ": " << error.localizedDescription();
    if (ids) std::sort(ids->begin(), ids->end());
    return ids;
  };
  std::vector<bool> indexed;
  ASSERT_TRUE(add({{"n1", "apple", ""}}, &indexed, &error));
  EXPECT_EQ(sortedSearch("apple"), IDs({"n1"}));
  // Each kind of commit, each followed by a search of the reader kept from
  // the search before: an addition, a removal, a replacement (two commits).
  ASSERT_TRUE(add({{"n2", "apple pie", ""}}, &indexed, &error));
  EXPECT_EQ(sortedSearch("apple"), IDs({"n1", "n2"}));
  ASSERT_TRUE(KXSLucene::removeDocuments(directory_, {"n1"}, &error));
  EXPECT_EQ(sortedSearch("apple"), IDs({"n2"}));
  ASSERT_TRUE(add({{"n2", "banana", ""}}, &indexed, &error));
  EXPECT_EQ(sortedSearch("apple"), std::nullopt);
  EXPECT_EQ(sortedSearch("banana"), IDs({"n2"}));

  // A folder emptied and an index made anew in it by the same steps, with no
  // search in between: its newest segments file has the same name as the one
  // whose commit the kept reader reads.
  std::string second = root_.path() + "/Second";
  std::filesystem::create_directories(second);
  std::swap(directory_, second);
  ASSERT_TRUE(add({{"old", "cherry", ""}}, &indexed, &error));
  EXPECT_EQ(sortedSearch("cherry"), IDs({"old"}));
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
    names.insert(entry.path().filename().string());
    std::filesystem::remove(entry.path());
  }
  ASSERT_TRUE(add({{"new", "cherry", ""}}, &indexed, &error));
  std::set<std::string> namesAgain;
  for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
    namesAgain.insert(entry.path().filename().string());
  }
  EXPECT_EQ(namesAgain, names);
  EXPECT_EQ(sortedSearch("cherry"), IDs({"new"}));
}

TEST_F(KXSLuceneIndexTest, SearchesOnSeveralThreadsWhileTheIndexChangesSeeWholeCommits) {
  // Searches run on three threads while a fourth commits one document at a
  // time: every answer is that of one commit, whoever's reader answered it.
  constexpr int kBase = 50;
  constexpr int kAdded = 20;
  // A word that no other word holds.
  auto stableWord = [](int i) {
    char word[32];
    std::snprintf(word, sizeof word, "stable%03dx", i);
    return std::string(word);
  };
  std::vector<KXSLucene::Document> documents;
  for (int i = 0; i < kBase; ++i) {
    documents.push_back({"S" + std::to_string(i), "common " + stableWord(i), ""});
  }
  std::vector<bool> indexed;
  kx::Error error;
  ASSERT_TRUE(add(documents, &indexed, &error)) << error.localizedDescription();

  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int k = 0; k < kAdded; ++k) {
      std::vector<bool> one;
      kx::Error writeError;
      EXPECT_TRUE(add({{"W" + std::to_string(k), "common extra" + std::to_string(k), ""}}, &one,
                      &writeError))
          << writeError.localizedDescription();
    }
    writing = false;
  });
  std::vector<std::thread> searchers;
  for (int t = 0; t < 3; ++t) {
    searchers.emplace_back([&, t] {
      std::size_t last = kBase;
      for (int round = 0; round < 20 || writing; ++round) {
        kx::Error searchError;
        const auto all = KXSLucene::search(directory_, kStopWords, "common", &searchError);
        EXPECT_FALSE(searchError) << searchError.localizedDescription();
        ASSERT_TRUE(all);
        // Commits only add: a later search of this thread never sees fewer.
        EXPECT_GE(all->size(), last);
        EXPECT_LE(all->size(), static_cast<std::size_t>(kBase + kAdded));
        last = all->size();
        const int i = (round * 7 + t) % kBase;
        const auto one = KXSLucene::search(directory_, kStopWords, stableWord(i), &searchError);
        EXPECT_EQ(one, std::optional<std::vector<std::string>>({"S" + std::to_string(i)}));
      }
    });
  }
  writer.join();
  for (std::thread& searcher : searchers) searcher.join();
  const auto all = KXSLucene::search(directory_, kStopWords, "common", &error);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), static_cast<std::size_t>(kBase + kAdded));
}

TEST_F(KXSLuceneIndexTest, HitsOfAnIndexInSeveralSegmentsAnswerWithTheirOwnIdentifiers) {
  // Three commits without optimisation leave three segments, and the
  // second replaces a document of the first: the identifiers that the
  // searcher knows from the term dictionary must match each segment's
  // documents, and the older copy must not answer.
  KXSLucene::WriteLimits unoptimised;
  unoptimised.optimize = false;
  const std::vector<std::vector<KXSLucene::Document>> commits = {
      {{"A", "apple alpha", ""}, {"B", "banana alpha", ""}, {"C", "cherry alpha", ""}},
      {{"D", "date beta", ""}, {"B", "blueberry beta", ""}},
      {{"E", "elderberry gamma", ""}}};
  for (const auto& documents : commits) {
    bool create = false;
    kx::Error error;
    ASSERT_TRUE(KXSLucene::prepareForWriting(directory_, &create, &error));
    const KXSLucene::WriteResult written =
        KXSLucene::writeDocuments(directory_, create, kStopWords, documents, unoptimised);
    ASSERT_EQ(written.taken, documents.size());
    EXPECT_EQ(written.indexed, std::vector<bool>(documents.size(), true));
  }
  using IDs = std::optional<std::vector<std::string>>;
  auto sortedSearch = [&](const char* query) -> IDs {
    kx::Error error;
    IDs ids = KXSLucene::search(directory_, kStopWords, query, &error);
    EXPECT_FALSE(error) << query << ": " << error.localizedDescription();
    if (ids) std::sort(ids->begin(), ids->end());
    return ids;
  };
  EXPECT_EQ(sortedSearch("alpha"), IDs({"A", "C"}));  // B's first text is gone
  EXPECT_EQ(sortedSearch("banana"), std::nullopt);
  EXPECT_EQ(sortedSearch("blueberry"), IDs({"B"}));
  EXPECT_EQ(sortedSearch("berry"), IDs({"B", "E"}));  // infix, across segments
  EXPECT_EQ(sortedSearch("dat"), IDs({"D"}));
  EXPECT_EQ(sortedSearch("alpha OR beta OR gamma"), IDs({"A", "B", "C", "D", "E"}));
}

TEST_F(KXSLuceneIndexTest, ADamagedIndexComesBackAsAnErrorFromEveryOperation) {
  std::vector<bool> indexed;
  kx::Error error;
  ASSERT_TRUE(add({{"n1", "apple", ""}}, &indexed, &error));
  damageIndex();
  kxtest::LibraryFailureLeaksIgnored knownLibraryLeaks;

  error = kx::Error();
  EXPECT_EQ(KXSLucene::search(directory_, kStopWords, "apple", &error),
            std::optional<std::vector<std::string>>(std::vector<std::string>()));
  EXPECT_EQ(error.domain(), kKXSErrorDomain);
  EXPECT_EQ(error.code(), KXSErrorLibrary);
  EXPECT_TRUE(error.userInfo().contains(KXSLibraryErrorNumberKey));

  error = kx::Error();
  EXPECT_FALSE(KXSLucene::addDocuments(directory_, false, kStopWords, {{"n2", "pear", ""}},
                                       &indexed, &error));
  EXPECT_EQ(indexed, std::vector<bool>{false});
  EXPECT_EQ(error.code(), KXSErrorLibrary);

  error = kx::Error();
  EXPECT_FALSE(KXSLucene::removeDocuments(directory_, {"n1"}, &error));
  EXPECT_EQ(error.code(), KXSErrorLibrary);

  error = kx::Error();
  std::vector<std::map<std::string, std::string>> documents;
  EXPECT_FALSE(KXSLucene::storedDocuments(directory_, &documents, &error));
  EXPECT_EQ(error.code(), KXSErrorLibrary);
}

TEST_F(KXSLuceneIndexTest, NoIndexMeansNothingToSearchOrRemove) {
  kx::Error error;
  EXPECT_EQ(KXSLucene::search(directory_, kStopWords, "apple", &error),
            std::optional<std::vector<std::string>>(std::vector<std::string>()));
  EXPECT_TRUE(KXSLucene::removeDocuments(directory_, {"n1"}, &error));
  EXPECT_FALSE(KXSLucene::indexExists(root_.path() + "/missing"));
  EXPECT_FALSE(KXSLucene::indexExists(""));
  EXPECT_FALSE(error);
}

}  // namespace
