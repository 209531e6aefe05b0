#include "search/KXSSearchProxy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "search/KXSError.h"
#include "search/KXSLucene.h"
#include "search/SearchTestSupport.h"
#include "support/QueueBarrier.h"

namespace {

using IDs = std::optional<std::vector<std::string>>;
using kxtest::SearchTest;

const IDs kNothingSearched = std::vector<std::string>();

KXSearchQuery keywords(const std::string& text) {
  return kx::Value::dict({{KXSearchQueryKeywordsKey, text}});
}

TEST(KXSSearchProxyTextTest, QueryTextIsEscapedSpacedAndLimitedToTheCategory) {
  struct Case {
    kx::Value query;
    std::string text;
  };
  const Case cases[] = {
      {keywords("c++"), "c\\+\\+"},
      {keywords("a\\b"), "a\\\\b"},
      {keywords("写中文笔记"), " 写中文笔记"},
      {keywords("note笔记+"), "note 笔记\\+"},
      {kx::Value::dict({{"keywords", "plan"}, {"category", "/work"}}),
       "docCategory:\"work\" AND plan"},
      {kx::Value::dict({{"keywords", "plan"}, {"category", ""}}), "plan"},
      {kx::Value::dict({{"category", "/work"}}), "docCategory:\"work\" AND "},
      {kx::Value::dict({{"keywords", 12}}), ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KXSSearchProxy::queryText(c.query), c.text) << c.query.description();
  }
}

class KXSSearchProxyTest : public SearchTest {
 protected:
  void SetUp() override {
    SearchTest::SetUp();
    indexer_ = makeIndexer();
    searcher_ = std::make_unique<KXSSearchProxy>();
  }

  IDs search(const std::string& text) {
    kx::Error error;
    IDs ids = searcher_->searchSync(keywords(text), &error);
    EXPECT_FALSE(error) << text << ": " << error.localizedDescription();
    return ids;
  }

  static IDs sorted(IDs ids) {
    if (ids) std::sort(ids->begin(), ids->end());
    return ids;
  }

  std::unique_ptr<KXSIndexProxy> indexer_;
  std::unique_ptr<KXSSearchProxy> searcher_;
};

TEST_F(KXSSearchProxyTest, EmptyAnswersTellNothingSearchedFromNothingFound) {
  // No index yet.
  EXPECT_EQ(search("apple"), kNothingSearched);
  index(*indexer_, {{"N1", "an apple a day"}});
  EXPECT_EQ(search("banana"), std::nullopt);   // searched, nothing found
  EXPECT_EQ(search("the"), kNothingSearched);  // a stop word alone
  EXPECT_EQ(search(""), kNothingSearched);     // the parser refuses an empty text
  EXPECT_EQ(search("AND"), kNothingSearched);  // ... and a lone operator
  EXPECT_EQ(search("!!!"), kNothingSearched);  // no token at all
  kx::Error error;
  EXPECT_EQ(searcher_->searchSync(kx::Value::dict({}), &error), kNothingSearched);
  EXPECT_FALSE(error);
}

TEST_F(KXSSearchProxyTest, OneWordIsFoundInsideLongerWordsAndSeveralThroughTheParser) {
  index(*indexer_, {{"FRUIT", "Pineapple juice"},
                    {"TREE", "apple tree"},
                    {"CAR", "a red car"},
                    {"CODE", "c++ code and c# code"}});
  EXPECT_EQ(sorted(search("apple")), IDs({"FRUIT", "TREE"}));  // infix wildcard
  EXPECT_EQ(sorted(search("APPL")), IDs({"FRUIT", "TREE"}));   // lower-cased first
  EXPECT_EQ(search("eappl"), IDs({"FRUIT"}));
  EXPECT_EQ(sorted(search("red tree")), IDs({"CAR", "TREE"}));  // any of the words
  EXPECT_EQ(search("\"apple tree\""), IDs({"TREE"}));  // quotes are escaped, not a phrase operator
  EXPECT_EQ(search("c++ code"), IDs({"CODE"}));        // specials escaped
  EXPECT_EQ(search("juice:"), IDs({"FRUIT"}));
}

TEST_F(KXSSearchProxyTest, ChineseRunsAreFoundAsPhrasesNotAsScatteredCharacters) {
  index(*indexer_, {{"DIARY", "今天写中文笔记"},
                    {"SCATTER", "中午 写 天文 笔 记录"},
                    {"MIXED", "meeting notes 会议记录 for Monday"},
                    {"OTHER", "nothing here"}});
  EXPECT_EQ(search("中文"), IDs({"DIARY"}));
  EXPECT_EQ(search("写中文笔记"), IDs({"DIARY"}));
  EXPECT_EQ(sorted(search("笔")), IDs({"DIARY", "SCATTER"}));  // one character
  EXPECT_EQ(search("文笔记天"), std::nullopt);  // every character present, not as a run
  EXPECT_EQ(search("会议"), IDs({"MIXED"}));
  EXPECT_EQ(search("会议monday"), std::nullopt);  // the phrase "会 议 monday" is not in the text
  EXPECT_EQ(sorted(search("记录 for")), IDs({"MIXED", "SCATTER"}));
  EXPECT_EQ(sorted(search("notes 中文")), IDs({"DIARY", "MIXED"}));
  IDs both = search("meeting 会议记录");
  ASSERT_TRUE(both);
  EXPECT_EQ(both->front(), "MIXED");
}

TEST_F(KXSSearchProxyTest, AChinesePhraseDoesNotBridgeSeparatorsOrRemovedStopWords) {
  // Each text is indexed as its own note; each query must find exactly the
  // notes marked. Blanks and tabs alone join two characters (pasted text
  // holds them inside words); anything else the analyser drops separates
  // them by one empty position, which a query with a separator asks for.
  struct Case {
    const char* text;
    bool foundByRun;        // by "会议记录"
    bool foundBySeparated;  // by "会议。记录"
  };
  const Case cases[] = {
      {"会议记录", true, false},
      {"今天的会议记录很长", true, false},
      {"会议 记录", true, false},      // one blank
      {"会议  \t 记录", true, false},  // blanks and a tab
      {"会议。记录", false, true},
      {"会议，记录", false, true},  // any one separator
      {"会议, 记录", false, true},  // a separator with a blank
      {"会议\n记录", false, true},  // a line break
      {"会议\r\n记录", false, true},
      {"会议 the 记录", false, true},  // a removed stop word
      {"会议 x 记录", false, true},    // a word of its own takes the gap
      {"会议——记录", false, true},
      {"会议。。记录", false, true},  // a run of separators is one gap
  };
  KXSIndexProxy::Documents batch;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    batch.push_back(std::make_shared<KXFTSDocument>("P" + std::to_string(i), cases[i].text));
  }
  kx::Error error;
  ASSERT_EQ(indexer_->submitDocumentsSync(batch, &error), std::vector<bool>(batch.size(), true));
  auto expected = [&](bool Case::*found) {
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      if (cases[i].*found) ids.push_back("P" + std::to_string(i));
    }
    std::sort(ids.begin(), ids.end());
    return ids.empty() ? IDs() : IDs(ids);
  };
  EXPECT_EQ(sorted(search("会议记录")), expected(&Case::foundByRun));
  EXPECT_EQ(sorted(search("会议。记录")), expected(&Case::foundBySeparated));
}

TEST_F(KXSSearchProxyTest, OnlyExcludedWordsFindNothingAndLeakNoFile) {
  index(*indexer_, {{"FOX", "quick brown fox"}, {"DOG", "lazy dog"}});
  auto openFiles = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  EXPECT_EQ(search("NOT fox"), std::nullopt);
  const auto before = openFiles();
  for (int i = 0; i < 50; ++i) EXPECT_EQ(search("NOT fox"), std::nullopt);
  EXPECT_EQ(search("NOT fox NOT dog"), std::nullopt);
  EXPECT_EQ(openFiles(), before);
  // A wanted word beside the excluded one is searched as before.
  EXPECT_EQ(search("quick NOT dog"), IDs({"FOX"}));
  EXPECT_EQ(search("lazy NOT fox"), IDs({"DOG"}));
}

TEST_F(KXSSearchProxyTest, OneWordWalksTheTermsOnlyAfterTheIndexChanged) {
  index(*indexer_, {{"FRUIT", "Pineapple juice"}, {"TREE", "apple tree"}});
  const std::uint64_t start = KXSLucene::termDictionaryWalks();
  EXPECT_EQ(sorted(search("apple")), IDs({"FRUIT", "TREE"}));
  EXPECT_EQ(KXSLucene::termDictionaryWalks(), start + 1);
  // Later searches of an unchanged index read the terms kept in memory,
  // also through the prefix form and for words found nowhere.
  EXPECT_EQ(search("juic"), IDs({"FRUIT"}));
  EXPECT_EQ(search("zebra"), std::nullopt);
  EXPECT_EQ(sorted(search("red tree")), IDs({"TREE"}));
  EXPECT_EQ(KXSLucene::termDictionaryWalks(), start + 1);

  // A commit that does not go through this process's indexer is seen too:
  // the index's version is checked at every search.
  bool create = false;
  kx::Error error;
  ASSERT_TRUE(KXSLucene::prepareForWriting(indexDirectory_, &create, &error));
  std::vector<bool> added;
  ASSERT_TRUE(KXSLucene::addDocuments(indexDirectory_, create, {},
                                      {{"ZOO", "zebra crossing", ""}, {"TREE", "oak", ""}}, &added,
                                      &error))
      << error.localizedDescription();
  EXPECT_EQ(search("ebr"), IDs({"ZOO"}));
  EXPECT_EQ(search("apple"), IDs({"FRUIT"}));
  EXPECT_EQ(KXSLucene::termDictionaryWalks(), start + 2);
}

TEST_F(KXSSearchProxyTest, AnIndexThatCannotBeSeenForAMomentIsBusyNotAbsent) {
  index(*indexer_, {{"N1", "kiwi"}});
  // What another process's commit can look like to a listing of the folder:
  // the index's files, but no segments file.
  std::filesystem::path segments;
  for (const auto& entry : std::filesystem::directory_iterator(indexDirectory_)) {
    if (entry.path().filename().string().rfind("segments_", 0) == 0) segments = entry.path();
  }
  ASSERT_FALSE(segments.empty());
  const std::filesystem::path aside = root_.path() + "/segments-aside";
  std::filesystem::rename(segments, aside);
  kx::Error error;
  EXPECT_EQ(searcher_->searchSync(keywords("kiwi"), &error), kNothingSearched);
  EXPECT_EQ(error.code(), KXSErrorIndexBusy);
  std::filesystem::rename(aside, segments);
  EXPECT_EQ(search("kiwi"), IDs({"N1"}));
}

TEST_F(KXSSearchProxyTest, AWildcardOverTooManyTermsFallsBackWithoutFailing) {
  // More distinct terms holding "ex" than one query may hold clauses: the
  // infix and prefix forms are passed over and the parser's exact term runs.
  KXSIndexProxy::Documents batch;
  auto letters = [](int n) {
    std::string word;
    for (int k = 0; k < 3; ++k, n /= 26) word.insert(word.begin(), char('a' + n % 26));
    return word;
  };
  for (int i = 0; i < 1100; ++i) {
    batch.push_back(std::make_shared<KXFTSDocument>("D" + std::to_string(i), "ex" + letters(i)));
  }
  batch.push_back(std::make_shared<KXFTSDocument>("EXACT", "ex"));
  kx::Error error;
  const std::vector<bool> indexed = indexer_->submitDocumentsSync(batch, &error);
  ASSERT_FALSE(error) << error.localizedDescription();
  EXPECT_EQ(search("ex"), IDs({"EXACT"}));
  EXPECT_EQ(search("ex" + letters(1099)), IDs({"D1099"}));  // a narrow wildcard still works
}

TEST_F(KXSSearchProxyTest, TheCategoryClauseLimitsTheSearch) {
  index(*indexer_, {{"/work/plan", "plan for work"}, {"/home/plan", "plan for home"}});
  kx::Error error;
  EXPECT_EQ(
      searcher_->searchSync(kx::Value::dict({{"keywords", "plan"}, {"category", "/work"}}), &error),
      IDs({"/work/plan"}));
  EXPECT_FALSE(error);
}

TEST_F(KXSSearchProxyTest, SearchCallsTheHandlerOnceOnTheSearcherQueue) {
  index(*indexer_, {{"N1", "kiwi"}});
  int calls = 0;
  IDs ids;
  std::string label;
  searcher_->search(keywords("kiwi"), [&](const KXSSearchResult& result, const kx::Error& error) {
    ++calls;
    ids = result.docIDs();
    label = kx::Queue::currentLabel();
    EXPECT_FALSE(error);
  });
  searcher_->search(keywords("kiwi"), nullptr);  // no handler: nothing to call
  searcher_.reset();                             // waits for the queued searches
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ids, IDs({"N1"}));
  EXPECT_EQ(label, "com.zarvel.note.queue.fts-searcher");
}

TEST_F(KXSSearchProxyTest, ADamagedIndexComesBackAsAnErrorNotACrash) {
  index(*indexer_, {{"N1", "kiwi"}});
  for (const auto& entry : std::filesystem::directory_iterator(indexDirectory_)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("segments_", 0) == 0) std::ofstream(entry.path(), std::ios::trunc) << "garbage";
  }
  // Run on this thread (searchSync, submitDocumentsSync) so that the
  // library's own leaks on this failure can be told apart.
  kxtest::LibraryFailureLeaksIgnored knownLibraryLeaks;
  kx::Error error;
  EXPECT_EQ(searcher_->searchSync(keywords("kiwi"), &error), kNothingSearched);
  EXPECT_EQ(error.domain(), kKXSErrorDomain);
  EXPECT_EQ(error.code(), KXSErrorLibrary);

  // The indexer reports the same fault for the batch.
  kx::Error indexError;
  EXPECT_EQ(indexer_->submitDocumentsSync(docs({{"N2", "more"}}), &indexError),
            std::vector<bool>{false});
  EXPECT_EQ(indexError.code(), KXSErrorLibrary);
}

TEST_F(KXSSearchProxyTest, SearchesRunWhileTheIndexerWrites) {
  // The searcher reads the index from its own queue while the indexer
  // commits batches on another; every answer is a consistent one.
  for (int batch = 0; batch < 10; ++batch) {
    KXSIndexProxy::Documents documents;
    for (int i = 0; i < 20; ++i) {
      const std::string id = "B" + std::to_string(batch) + "N" + std::to_string(i);
      documents.push_back(std::make_shared<KXFTSDocument>(id, "shared words 共享笔记 " + id));
    }
    indexer_->submitDocuments(documents);
  }
  for (int round = 0; round < 30; ++round) {
    kx::Error error;
    const IDs ids = searcher_->searchSync(keywords("共享笔记"), &error);
    EXPECT_FALSE(error) << error.localizedDescription();
    if (ids) {
      EXPECT_EQ(ids->size() % 20, 0u);  // whole batches only
    }
  }
  ASSERT_TRUE(kxtest::waitForQueue(KXSIndexProxy::indexQueue()));
  const IDs all = search("共享笔记");
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 200u);
}

TEST_F(KXSSearchProxyTest, ASearcherTakesNewPathsOnReload) {
  index(*indexer_, {{"N1", "kiwi"}});
  const std::string second = root_.path() + "/Other";
  std::filesystem::create_directories(second);
  configure(second);
  EXPECT_EQ(searcher_->currentIndexDirPath(), second);
  EXPECT_EQ(search("kiwi"), kNothingSearched);  // no index there
}

}  // namespace
