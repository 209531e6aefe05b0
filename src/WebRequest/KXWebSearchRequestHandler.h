// KXWebSearchRequestHandler answers the web interface's full-text search
// ("/qrt/api/personal/search", method "webSearch") from the local index and
// store: it searches the keyword ("kw", "+" read as a blank), keeps the
// hits that lie in the folder ("parentId", default the root entry), orders
// them by relevance (folders first; then titles, then summaries holding
// one of the words; then newer first), pages them ("b" first hit, "l" most
// hits) and answers {"count": hits in the folder, "entries": web file
// entries, entire form unless "entire" reads as 0}. Hits inside encrypted
// folders carry "inEncryptedFolder": "true" in "otherProp" (entire form).
//
// The last search is kept: a request for the same folder and keyword
// asking for a later first hit than the request before it is answered
// from the kept hits without searching. The kept key and its hits are one
// record under one lock, and hits are kept only for the key they were
// searched for, so a quick next page of a new keyword never gets the
// previous keyword's hits (it searches itself when its own search has not
// finished).
//
// No method, or a method other than "webSearch": -1000. A search without a
// result: -1008. A reused page is answered before handleRequest returns;
// otherwise the answer comes from the search's queue.
//
// Thread safety: both request methods may be called from any thread at
// once; the last search is guarded by mu_.
#ifndef ZN_WEBREQUEST_KXWEBSEARCHREQUESTHANDLER_H_
#define ZN_WEBREQUEST_KXWEBSEARCHREQUESTHANDLER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/client/KXDataClient.h"
#include "WebRequest/KXDataRequestDelegate.h"
#include "platform/Mutex.h"

class KXWebSearchRequestHandler : public KXDataRequestDelegate {
 public:
  // Runs the keyword search and calls back with the hits as the fetch's
  // objects (KXDataClient::searchNotesWithKeyword).
  using Searcher = std::function<void(const std::string& keyword, KXDataCallback callback)>;

  static KXWebSearchRequestHandler& sharedHandler();
  // `searcher` null: the client's own search.
  KXWebSearchRequestHandler(KXDataClient& client, KXFileMetaWebUtil& webUtil,
                            Searcher searcher = nullptr);

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;

 private:
  // The hits of one search in one folder, and those of them that lie in
  // encrypted folders.
  struct Hits {
    KXFileMetaArray inFolder;
    std::set<std::string> marked;  // file ids
  };
  struct Page {
    std::string keyword;
    std::int64_t begin = 0;
    std::int64_t limit = 0;
    bool entire = true;
  };

  void answer(const std::shared_ptr<const Hits>& hits, const Page& page, const kx::URL& url,
              KXDataRequestController& sender);

  KXDataClient& client_;
  KXFileMetaWebUtil& webUtil_;
  const Searcher searcher_;

  kx::Mutex mu_;
  std::string lastFolder_ GUARDED_BY(mu_);
  std::string lastKeyword_ GUARDED_BY(mu_);
  std::int64_t lastBegin_ GUARDED_BY(mu_) = 0;
  bool hasLast_ GUARDED_BY(mu_) = false;
  // The hits of (lastFolder_, lastKeyword_); null while its search runs.
  std::shared_ptr<const Hits> lastHits_ GUARDED_BY(mu_);
};

#endif  // ZN_WEBREQUEST_KXWEBSEARCHREQUESTHANDLER_H_
