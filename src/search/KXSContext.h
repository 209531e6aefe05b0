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
#include <mutex>
#include <string>

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
  mutable std::mutex mutex_;
  std::string pathOfIndexDirectory_;    // guarded by mutex_
  std::string pathOfStopWords_;         // guarded by mutex_
  std::uint8_t workerCount_ = 0;        // guarded by mutex_
  bool initialized_ = false;            // guarded by mutex_
  bool reload_ = false;                 // guarded by mutex_

  std::recursive_mutex notifyMutex_;
  ObserverToken nextToken_ = 1;                                // guarded by notifyMutex_
  std::map<ObserverToken, std::function<void()>> observers_;   // guarded by notifyMutex_
};

#endif  // ZN_SEARCH_KXSCONTEXT_H_
