// KXSSearchProxy answers keyword searches from the full-text index that
// KXSIndexProxy writes, with the identifiers of the matching documents. There
// is one for the process (sharedProxy); the data client sends it the user's
// words and filters the identifiers that come back.
//
// The words are escaped for the query syntax, a blank is put before every
// run of characters above U+00FF, and an optional category clause is put in
// front; a single word is then searched as an infix wildcard, then as a
// prefix wildcard, then through the query parser, and anything else through
// the parser, up to three attempts (see KXSLucene::search). Han and other
// CJK characters are single tokens, so several of them form a phrase.
//
// Searches run one at a time on the searcher's serial queue
// "com.zarvel.note.queue.fts-searcher", apart from the indexer's queue; each
// reads the index as last committed (see KXSLucene::search for the reader
// kept between searches). The handler runs on that queue.
//
// Thread safety: every member may be called from any thread. The paths and
// the stop words read from the stop-word file are guarded by State::mutex.
// The destructor stops observing the context and waits for the searches
// already queued.
#ifndef ZN_SEARCH_KXSSEARCHPROXY_H_
#define ZN_SEARCH_KXSSEARCHPROXY_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/SerialQueue.h"
#include "search/KXSContext.h"
#include "search/KXSSearchResult.h"
#include "search/KXSearchQuery.h"

class KXSSearchProxy {
 public:
  // The error is empty unless the index library failed (a damaged index, a
  // failed read); the result's identifiers are then an empty array.
  using Handler = std::function<void(const KXSSearchResult& result, const kx::Error& error)>;

  // The one searcher of the process, made on first use and never freed.
  static KXSSearchProxy& sharedProxy();

  // Reads the shared context and observes its "isReload" flag. Unlike the
  // indexer it does not check that the paths exist.
  KXSSearchProxy();
  ~KXSSearchProxy();
  KXSSearchProxy(const KXSSearchProxy&) = delete;
  KXSSearchProxy& operator=(const KXSSearchProxy&) = delete;

  // Copies the two paths from the shared context when it is initialised;
  // otherwise does nothing.
  void reload();

  // Returns at once; the search runs on the searcher queue and the handler,
  // when given, is called once there with the result.
  void search(const KXSearchQuery& query, Handler handler);
  // The identifiers of the hits in ranking order; an empty array when
  // nothing could be searched; nullopt when nothing was found. A query
  // without a "keywords" text searches for the empty text, which finds
  // nothing to search.
  std::optional<std::vector<std::string>> searchSync(const KXSearchQuery& query, kx::Error* error);

  // The query text the library parses for `query`: escaped keywords, spaced
  // non-Latin runs, and the category clause "docCategory:\"...\" AND " in
  // front when a category is given.
  static std::string queryText(const KXSearchQuery& query);

  std::string currentIndexDirPath() const;
  std::string currentStopWordsPath() const;

 private:
  struct State;

  std::shared_ptr<State> state_;
  KXSContext::ObserverToken observer_ = 0;
  kx::SerialQueue searcherQueue_;
};

#endif  // ZN_SEARCH_KXSSEARCHPROXY_H_
