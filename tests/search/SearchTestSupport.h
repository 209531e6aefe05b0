// Shared pieces of the full-text search tests: a configuration that points
// the search context at a fresh temporary index folder with the shipped
// stop-word file, and short ways to make documents.
#ifndef ZN_TESTS_SEARCH_SEARCHTESTSUPPORT_H_
#define ZN_TESTS_SEARCH_SEARCHTESTSUPPORT_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Path.h"
#include "platform/Places.h"
#include "search/KXFTSDocument.h"
#include "search/KXSContext.h"
#include "search/KXSContextConfigProtocol.h"
#include "search/KXSIndexProxy.h"
#include "support/TempAppRoot.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace kxtest {

// CLucene 2.3.3.4 leaks parts of the readers and writers it fails to open on
// a damaged index, and of a document it fails to add. Tests that provoke
// those failures on purpose run them inside this scope: allocations made on
// the calling thread meanwhile are not reported as leaks. Everything else
// stays under the leak checker.
class LibraryFailureLeaksIgnored {
 public:
  LibraryFailureLeaksIgnored() {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_disable();
#endif
  }
  ~LibraryFailureLeaksIgnored() {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif
  }
  LibraryFailureLeaksIgnored(const LibraryFailureLeaksIgnored&) = delete;
  LibraryFailureLeaksIgnored& operator=(const LibraryFailureLeaksIgnored&) = delete;
};

class SearchTestConfig : public KXSContextConfigProtocol {
 public:
  SearchTestConfig(std::string indexDirectory, std::string stopWords)
      : indexDirectory_(std::move(indexDirectory)), stopWords_(std::move(stopWords)) {}
  std::string indexDirectory() const override { return indexDirectory_; }
  std::string indexStopWordsFile() const override { return stopWords_; }

 private:
  std::string indexDirectory_;
  std::string stopWords_;
};

inline std::string shippedStopWordsFile() {
  return kx::Path::appendingPathComponent(kx::Places::resourcesDirectory(), "stopwords.dat");
}

// A fresh temporary root with an empty index folder "Index", configured as
// the shared search context's.
class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    indexDirectory_ = root_.path() + "/Index";
    std::filesystem::create_directories(indexDirectory_);
    ASSERT_TRUE(std::filesystem::exists(shippedStopWordsFile()))
        << "stop-word file missing: " << shippedStopWordsFile();
    configure(indexDirectory_);
  }

  void configure(const std::string& indexDirectory) {
    SearchTestConfig config(indexDirectory, shippedStopWordsFile());
    KXSContext::sharedContext().setConfig(config);
    KXSContext::sharedContext().setIsReload(true);
  }

  std::unique_ptr<KXSIndexProxy> makeIndexer() {
    std::unique_ptr<KXSIndexProxy> indexer = KXSIndexProxy::create();
    EXPECT_NE(indexer, nullptr);
    return indexer;
  }

  static KXSIndexProxy::Documents docs(
      std::initializer_list<std::pair<std::string, std::string>> items) {
    KXSIndexProxy::Documents result;
    for (const auto& [id, text] : items)
      result.push_back(std::make_shared<KXFTSDocument>(id, text));
    return result;
  }

  // Indexes the documents and expects every one to go in.
  static void index(KXSIndexProxy& indexer,
                    std::initializer_list<std::pair<std::string, std::string>> items) {
    kx::Error error;
    const std::vector<bool> indexed = indexer.submitDocumentsSync(docs(items), &error);
    EXPECT_FALSE(error) << error.localizedDescription();
    EXPECT_EQ(indexed, std::vector<bool>(items.size(), true));
  }

  TempAppRoot root_;
  std::string indexDirectory_;
};

}  // namespace kxtest

#endif  // ZN_TESTS_SEARCH_SEARCHTESTSUPPORT_H_
