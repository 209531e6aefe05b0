// KXIndexHandOver hands a data client's changes to its full-text indexer
// (KXSIndexProxy) in the order they were made: the documents of saved
// entries (KXDataClient::indexNotes) and the identifiers of purged ones.
//
// A hand-over costs the caller (a save's end, on the write queue) only an
// append to the feed's list; the documents are read and prepared on the
// feed's own serial queue. While one batch is with the indexer, whatever
// follows waits in the list and goes as the next batch: a burst of saves is
// indexed in one writer session, and its entries are marked (hasIndex) in
// one write block of the data context each came from. Within a batch, a
// later text of an identifier replaces an earlier one, as the indexer would
// replace it; each entry is marked as its latest text fared. A removal is
// never overtaken: documents handed over before it reach the indexer before
// it, those after it after it.
//
// Nothing handed over is lost: close() (the client's destruction) hands
// every waiting change to the indexer at once, without waiting for the
// batch before it, and waits until the indexer has written all it was
// given. Marks and completions whose data context is gone by then are
// dropped, as the entries they would mark are.
//
// Thread safety: every member may be called from any thread. The list and
// the state of the batch in flight are guarded by the feed's kx::Mutex,
// which is never held while the indexer or a queue is called.
#ifndef ZN_DATA_KXINDEXHANDOVER_H_
#define ZN_DATA_KXINDEXHANDOVER_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Mutex.h"
#include "platform/SerialQueue.h"
#include "platform/Value.h"
#include "search/KXSIndexProxy.h"

class KXDataContext;

class KXIndexHandOver : public std::enable_shared_from_this<KXIndexHandOver> {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.index-feed";

  // `indexer` may be null: documents are then taken by nobody and their
  // entries unmarked.
  static std::shared_ptr<KXIndexHandOver> create(std::shared_ptr<KXSIndexProxy> indexer);
  KXIndexHandOver(const KXIndexHandOver&) = delete;
  KXIndexHandOver& operator=(const KXIndexHandOver&) = delete;

  // Documents ({"docID", "docContent"} dictionaries; items without both are
  // left out) of entries of `data`'s store. Once the indexer has answered,
  // the entries whose latest text went in are marked hasIndex, the others
  // unmarked (when marked), in a write block of `data`; `done` runs at the
  // end of that block. Also an empty list waits for everything before it.
  void submit(kx::Array documents, std::weak_ptr<KXDataContext> data,
              std::function<void()> done = nullptr);
  // Documents to remove from the index (by identifier), after everything
  // handed over before.
  void remove(KXSIndexProxy::Documents removals);

  // Hands everything waiting to the indexer now, and from now on every
  // change as it comes; waits until the indexer has written what it was
  // handed (KXSIndexProxy::indexQueue). Not from the feed's queue.
  void close();

 private:
  struct Change {
    bool isRemoval = false;
    kx::Array documents;
    KXSIndexProxy::Documents removals;
    std::weak_ptr<KXDataContext> data;
    std::function<void()> done;
  };

  explicit KXIndexHandOver(std::shared_ptr<KXSIndexProxy> indexer);

  void add(Change change);
  // On the feed's queue: hands the waiting changes over.
  void drain();
  // One batch of submissions, in order, handed to the indexer.
  void submitBatch(std::vector<Change> batch);
  // The batch in flight was answered: the next one may go.
  void batchAnswered();

  const std::shared_ptr<KXSIndexProxy> indexer_;
  kx::SerialQueue queue_{kQueueLabel};

  kx::Mutex mutex_;
  std::deque<Change> waiting_ GUARDED_BY(mutex_);
  // A drain is queued or running: it takes what is added meanwhile.
  bool scheduled_ GUARDED_BY(mutex_) = false;
  // Batches with the indexer and not answered yet; until then (unless
  // closed) new changes wait.
  int inFlight_ GUARDED_BY(mutex_) = 0;
  bool closed_ GUARDED_BY(mutex_) = false;
};

#endif  // ZN_DATA_KXINDEXHANDOVER_H_
