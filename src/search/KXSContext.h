// KXSContext is the process-wide configuration of the full-text search: the
// index folder and the stop-word file that the indexer (KXSIndexProxy) and
// the searcher (KXSSearchProxy) use. It is empty until the configurator (the
// note store's data client) hands itself to setConfig().
//
// The proxies read the context when they are made and again each time the
// "isReload" flag is set: setIsReload() tells every registered reload
// observer, on the calling thread, after the flag is stored. Every call
// counts as a change, whatever the value. A configurator that calls
// setConfig() again sets isReload afterwards so that proxies made earlier
// take the new paths; setConfig() itself tells nobody.
//
// Thread safety: every member may be called from any thread. The values are
// guarded by mutex_. Observers are called under notifyMutex_ (recursive, so
// that an observer may add or remove observers), and removeReloadObserver
// takes it too: once it returns, the removed observer is not running and is
// never called again.
#ifndef ZN_SEARCH_KXSCONTEXT_H_
#define ZN_SEARCH_KXSCONTEXT_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/Mutex.h"
#include "search/KXSContextConfigProtocol.h"

class KXSContext {
 public:
  using ObserverToken = std::uint64_t;

  // The one context of the process, made on first use and never freed.
  static KXSContext& sharedContext();

  KXSContext() = default;
  KXSContext(const KXSContext&) = delete;
  KXSContext& operator=(const KXSContext&) = delete;

  // Sets, in this order, the index folder, the stop-word file, the worker
  // count (the configurator's threadCount, or 1 when it gives none) and
  // isInitialized. May be called again; each call replaces the values. Does
  // not touch isReload and tells nobody.
  void setConfig(const KXSContextConfigProtocol& config);

  std::string pathOfIndexDirectory() const;
  void setPathOfIndexDirectory(std::string path);
  std::string pathOfStopWords() const;
  void setPathOfStopWords(std::string path);
  // Kept and copied by the indexer; nothing else reads it.
  std::uint8_t workerCountOfIndexQueue() const;
  void setWorkerCountOfIndexQueue(std::uint8_t count);
  // True once setConfig() has run.
  bool isInitialized() const;

  bool isReload() const;
  // Stores the flag, then calls every reload observer.
  void setIsReload(bool reload);

  // Registers a function called after each setIsReload(); the token removes
  // it.
  ObserverToken addReloadObserver(std::function<void()> observer);
  void removeReloadObserver(ObserverToken token);

 private:
  mutable kx::Mutex mutex_;
  std::string pathOfIndexDirectory_ GUARDED_BY(mutex_);
  std::string pathOfStopWords_ GUARDED_BY(mutex_);
  std::uint8_t workerCount_ GUARDED_BY(mutex_) = 0;
  bool initialized_ GUARDED_BY(mutex_) = false;
  bool reload_ GUARDED_BY(mutex_) = false;

  kx::RecursiveMutex notifyMutex_;
  ObserverToken nextToken_ GUARDED_BY(notifyMutex_) = 1;
  std::map<ObserverToken, std::function<void()>> observers_ GUARDED_BY(notifyMutex_);
};

#endif  // ZN_SEARCH_KXSCONTEXT_H_
