#include "search/KXSContext.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>

namespace {

class Config : public KXSContextConfigProtocol {
 public:
  Config(std::string directory, std::string stopWords, std::optional<std::uint8_t> threads)
      : directory_(std::move(directory)), stopWords_(std::move(stopWords)), threads_(threads) {}
  std::string indexDirectory() const override { return directory_; }
  std::string indexStopWordsFile() const override { return stopWords_; }
  std::optional<std::uint8_t> threadCount() const override { return threads_; }

 private:
  std::string directory_;
  std::string stopWords_;
  std::optional<std::uint8_t> threads_;
};

TEST(KXSContextTest, SetConfigCopiesTheConfiguratorsAnswersAndDefaultsTheWorkerCount) {
  KXSContext context;
  EXPECT_FALSE(context.isInitialized());
  EXPECT_EQ(context.pathOfIndexDirectory(), "");

  context.setConfig(Config("/data/Index", "/res/stopwords.dat", std::nullopt));
  EXPECT_TRUE(context.isInitialized());
  EXPECT_EQ(context.pathOfIndexDirectory(), "/data/Index");
  EXPECT_EQ(context.pathOfStopWords(), "/res/stopwords.dat");
  EXPECT_EQ(context.workerCountOfIndexQueue(), 1);

  // A second call replaces every value.
  context.setConfig(Config("/other/Index", "/other/stop", 4));
  EXPECT_EQ(context.pathOfIndexDirectory(), "/other/Index");
  EXPECT_EQ(context.pathOfStopWords(), "/other/stop");
  EXPECT_EQ(context.workerCountOfIndexQueue(), 4);

  // The plain setters leave isInitialized alone.
  KXSContext fresh;
  fresh.setPathOfIndexDirectory("/x");
  fresh.setWorkerCountOfIndexQueue(3);
  EXPECT_FALSE(fresh.isInitialized());
  EXPECT_EQ(fresh.pathOfIndexDirectory(), "/x");
}

TEST(KXSContextTest, EverySetOfIsReloadTellsTheObserversButSetConfigDoesNot) {
  KXSContext context;
  int calls = 0;
  bool seenValue = false;
  const auto token = context.addReloadObserver([&] {
    ++calls;
    seenValue = context.isReload();
  });
  context.setConfig(Config("/a", "/b", std::nullopt));
  EXPECT_EQ(calls, 0);
  context.setIsReload(true);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(seenValue);     // the flag is stored before the observers run
  context.setIsReload(true);  // the same value counts as a change
  EXPECT_EQ(calls, 2);

  context.removeReloadObserver(token);
  context.setIsReload(false);
  EXPECT_EQ(calls, 2);
}

TEST(KXSContextTest, AnObserverMayRemoveAnotherAndAThrowingObserverDoesNotStopTheRest) {
  KXSContext context;
  int second = 0;
  int third = 0;
  KXSContext::ObserverToken secondToken = 0;
  context.addReloadObserver([&] { context.removeReloadObserver(secondToken); });
  secondToken = context.addReloadObserver([&] { ++second; });
  context.addReloadObserver([&] {
    ++third;
    throw std::runtime_error("observer failure");
  });
  context.setIsReload(true);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(third, 1);
  context.setIsReload(true);
  EXPECT_EQ(third, 2);
}

}  // namespace
