#include "search/KXSSearchProxy.h"

#include <exception>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/Mutex.h"
#include "search/KXSError.h"
#include "search/KXSLucene.h"
#include "search/KXSTextUtil.h"

struct KXSSearchProxy::State {
  mutable kx::Mutex mutex;
  std::string currentStopWordsPath GUARDED_BY(mutex);
  std::string currentIndexDirPath GUARDED_BY(mutex);
  // The words of currentStopWordsPath, read on first use after a reload.
  std::shared_ptr<const KXSLucene::StopWords> stopWords GUARDED_BY(mutex);

  void reload(std::string stopWordsPath, std::string indexDirPath) {
    kx::MutexLock lock(mutex);
    currentStopWordsPath = std::move(stopWordsPath);
    currentIndexDirPath = std::move(indexDirPath);
    stopWords.reset();
  }

  // The index folder and its stop words, reading the stop-word file when
  // they are not known yet.
  std::pair<std::string, std::shared_ptr<const KXSLucene::StopWords>> settings() {
    std::string directory;
    std::string stopWordsPath;
    {
      kx::MutexLock lock(mutex);
      if (stopWords) return {currentIndexDirPath, stopWords};
      directory = currentIndexDirPath;
      stopWordsPath = currentStopWordsPath;
    }
    auto words =
        std::make_shared<const KXSLucene::StopWords>(KXSLucene::loadStopWords(stopWordsPath));
    kx::MutexLock lock(mutex);
    // Keep them unless a reload came in meanwhile.
    if (currentStopWordsPath == stopWordsPath && !stopWords) stopWords = words;
    return {directory, words};
  }
};

KXSSearchProxy& KXSSearchProxy::sharedProxy() {
  static KXSSearchProxy* proxy = new KXSSearchProxy();
  return *proxy;
}

KXSSearchProxy::KXSSearchProxy()
    : state_(std::make_shared<State>()), searcherQueue_("com.zarvel.note.queue.fts-searcher") {
  reload();
  // Removed in the destructor; the context guarantees that no call is
  // running or starts after that.
  observer_ = KXSContext::sharedContext().addReloadObserver([this] { reload(); });
}

KXSSearchProxy::~KXSSearchProxy() {
  KXSContext::sharedContext().removeReloadObserver(observer_);
  // searcherQueue_ drains when it is destroyed; the queued searches hold the
  // state they need.
}

void KXSSearchProxy::reload() {
  KXSContext& context = KXSContext::sharedContext();
  if (!context.isInitialized()) return;
  state_->reload(context.pathOfStopWords(), context.pathOfIndexDirectory());
}

std::string KXSSearchProxy::currentIndexDirPath() const {
  kx::MutexLock lock(state_->mutex);
  return state_->currentIndexDirPath;
}

std::string KXSSearchProxy::currentStopWordsPath() const {
  kx::MutexLock lock(state_->mutex);
  return state_->currentStopWordsPath;
}

std::string KXSSearchProxy::queryText(const KXSearchQuery& query) {
  const kx::Value& keywords = query[KXSearchQueryKeywordsKey];
  const std::string text = KXSTextUtil::spacedText(
      KXSTextUtil::escapeQuery(keywords.isString() ? keywords.string() : ""));
  const kx::Value& category = query[KXSearchQueryCategoryKey];
  if (category.isString() && !category.string().empty()) {
    return "docCategory:\"" + KXSTextUtil::dropFirstCharacter(category.string()) + "\" AND " + text;
  }
  return text;
}

namespace {

std::optional<std::vector<std::string>> runSearch(
    const std::pair<std::string, std::shared_ptr<const KXSLucene::StopWords>>& settings,
    const KXSearchQuery& query, kx::Error* error) {
  try {
    return KXSLucene::search(settings.first, *settings.second, KXSSearchProxy::queryText(query),
                             error);
  } catch (const std::exception& e) {
    kx::SetError(error,
                 KXSMakeError(KXSErrorUnexpected, std::string("search failed: ") + e.what()));
  } catch (...) {
    kx::SetError(error, KXSMakeError(KXSErrorUnexpected, "search failed"));
  }
  return std::vector<std::string>();
}

}  // namespace

std::optional<std::vector<std::string>> KXSSearchProxy::searchSync(const KXSearchQuery& query,
                                                                   kx::Error* error) {
  try {
    return runSearch(state_->settings(), query, error);
  } catch (...) {
    kx::SetError(error, KXSMakeError(KXSErrorUnexpected, "search failed"));
  }
  return std::vector<std::string>();
}

void KXSSearchProxy::search(const KXSearchQuery& query, Handler handler) {
  std::shared_ptr<State> state = state_;
  searcherQueue_.async([state, query, handler = std::move(handler)] {
    KXSSearchResult result;
    kx::Error error;
    try {
      result.setDocIDs(runSearch(state->settings(), query, &error));
    } catch (...) {
      result.setDocIDs(std::vector<std::string>());
      error = KXSMakeError(KXSErrorUnexpected, "search failed");
    }
    if (handler) {
      kx::Queue::invokeGuarded([&] { handler(result, error); }, "KXSSearchProxy search handler");
    }
  });
}
