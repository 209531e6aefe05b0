#include "search/KXSContext.h"

#include <utility>
#include <vector>

#include "platform/Mutex.h"
#include "platform/Queue.h"

KXSContext& KXSContext::sharedContext() {
  static KXSContext* context = new KXSContext();
  return *context;
}

void KXSContext::setConfig(const KXSContextConfigProtocol& config) {
  std::string indexDirectory = config.indexDirectory();
  std::string stopWords = config.indexStopWordsFile();
  const std::optional<std::uint8_t> threads = config.threadCount();
  kx::MutexLock lock(mutex_);
  pathOfIndexDirectory_ = std::move(indexDirectory);
  pathOfStopWords_ = std::move(stopWords);
  workerCount_ = threads.value_or(1);
  initialized_ = true;
}

std::string KXSContext::pathOfIndexDirectory() const {
  kx::MutexLock lock(mutex_);
  return pathOfIndexDirectory_;
}

void KXSContext::setPathOfIndexDirectory(std::string path) {
  kx::MutexLock lock(mutex_);
  pathOfIndexDirectory_ = std::move(path);
}

std::string KXSContext::pathOfStopWords() const {
  kx::MutexLock lock(mutex_);
  return pathOfStopWords_;
}

void KXSContext::setPathOfStopWords(std::string path) {
  kx::MutexLock lock(mutex_);
  pathOfStopWords_ = std::move(path);
}

std::uint8_t KXSContext::workerCountOfIndexQueue() const {
  kx::MutexLock lock(mutex_);
  return workerCount_;
}

void KXSContext::setWorkerCountOfIndexQueue(std::uint8_t count) {
  kx::MutexLock lock(mutex_);
  workerCount_ = count;
}

bool KXSContext::isInitialized() const {
  kx::MutexLock lock(mutex_);
  return initialized_;
}

bool KXSContext::isReload() const {
  kx::MutexLock lock(mutex_);
  return reload_;
}

void KXSContext::setIsReload(bool reload) {
  {
    kx::MutexLock lock(mutex_);
    reload_ = reload;
  }
  kx::RecursiveMutexLock notifyLock(notifyMutex_);
  // Copy first: an observer may add or remove observers while it runs.
  std::vector<std::pair<ObserverToken, std::function<void()>>> observers(observers_.begin(),
                                                                         observers_.end());
  for (const auto& [token, observer] : observers) {
    if (observers_.count(token) == 0) continue;  // removed by an earlier observer
    kx::Queue::invokeGuarded(observer, "KXSContext isReload observer");
  }
}

KXSContext::ObserverToken KXSContext::addReloadObserver(std::function<void()> observer) {
  kx::RecursiveMutexLock lock(notifyMutex_);
  const ObserverToken token = nextToken_++;
  observers_.emplace(token, std::move(observer));
  return token;
}

void KXSContext::removeReloadObserver(ObserverToken token) {
  kx::RecursiveMutexLock lock(notifyMutex_);
  observers_.erase(token);
}
