// KXIndexFeed feeds the full-text index from the store: it configures the
// search context (the current user's index folder, the shipped stop-word
// file, one thread), holds the indexer made for the client and the
// process's searcher, and hands documents to the indexer so that the index
// follows what the store commits.
//
// Thread safety: any thread may call it. Batches go through the hand-over
// (KXIndexHandOver) in call order; the indexer is shared with the batches
// in flight.
#ifndef ZN_DATA_KXINDEXFEED_H_
#define ZN_DATA_KXINDEXFEED_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Value.h"
#include "search/KXSContextConfigProtocol.h"
#include "search/KXSIndexProxy.h"

class KXDataClient;
class KXIndexHandOver;
class KXManagedObjectContext;
class KXSSearchProxy;

class KXIndexFeed : public KXSContextConfigProtocol {
 public:
  // Configures the search context with this feed and makes the client's
  // indexer. The client owns this object.
  explicit KXIndexFeed(KXDataClient& client);
  ~KXIndexFeed() override;
  KXIndexFeed(const KXIndexFeed&) = delete;
  KXIndexFeed& operator=(const KXIndexFeed&) = delete;

  // The search context's configuration: the current user's "Index" folder,
  // the shipped stop-word file, one thread.
  std::optional<std::uint8_t> threadCount() const override { return 1; }
  std::string indexDirectory() const override;
  std::string indexStopWordsFile() const override;

  // The indexer made for this client (nullptr when the index folder or the
  // stop-word file was missing) and the process's searcher.
  KXSIndexProxy* ftsIndexer() const { return ftsIndexer_.get(); }
  KXSSearchProxy& ftsSearcher() const { return *ftsSearcher_; }
  // The indexer, shared with work that may outlive the feed.
  std::shared_ptr<KXSIndexProxy> sharedIndexer() const { return ftsIndexer_; }

  // Hands documents ({"docID": file id, "docContent": text}; items without
  // an id or with empty text are left out) to the client's indexer in one
  // batch, without making the caller wait; each document the indexer
  // reports as indexed gets hasIndex YES on the write queue (not saved),
  // and each one it refused loses hasIndex, so the rebuild tries it again.
  // `done` (when given) runs on the write queue after those flags are set.
  //
  // The index follows the store. Called from a write block (on the write
  // queue), the batch describes changes of the write context's open unit:
  // it is handed over only after the save that holds the unit committed it,
  // and dropped (`done` still runs) when that unit is rolled back. Called
  // from anywhere else, it is handed over at once. Batches handed over are
  // written in the order they were handed over.
  // While one batch is with the indexer, those that follow go together as
  // the next, a note's latest text winning (KXIndexHandOver); the feed's
  // destruction hands over whatever still waits and waits for the indexer.
  void indexNotes(const kx::Array& docInfos, std::function<void()> done = nullptr);
  // Removes the documents from the index once the open unit of `context`
  // (the write context, on the write queue) is committed, after every
  // document handed over before; nothing when the unit is rolled back.
  void removeWhenCommitted(KXManagedObjectContext& context, KXSIndexProxy::Documents removals);
  // Hands this feed to the search context again and flips its reload
  // flag, so that the indexer and the searcher take the configuration anew.
  void reloadIndexConfig();
  // Not implemented: raises "KXMethodNotImplemented".
  [[noreturn]] std::string contentForIndexContent(const std::string& content);
  // Not implemented: raises "KXMethodNotImplemented".

 private:
  KXDataClient& client_;
  // Shared with the index-feeding tasks in flight.
  std::shared_ptr<KXSIndexProxy> ftsIndexer_;
  KXSSearchProxy* ftsSearcher_ = nullptr;  // the shared searcher, never freed
  // Hands documents and removals to the indexer in call order, a burst in
  // one batch. Closed by the destructor, which hands it whatever waits.
  std::shared_ptr<KXIndexHandOver> handOver_;
};

#endif  // ZN_DATA_KXINDEXFEED_H_
