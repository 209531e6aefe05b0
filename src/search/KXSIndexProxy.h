// KXSIndexProxy writes documents into the signed-in user's full-text index
// and removes them from it. The data client makes one for its life and hands
// it batches of KXFTSDocument when notes are saved, changed, rebuilt or
// deleted.
//
// All writes of all indexers of the process run one after another on one
// serial queue, "com.zarvel.note.queue.fts-indexer". Calls wait there in the
// order they were made. When the queue comes to a submission, the indexer
// takes it together with every submission waiting right behind it (up to
// the next removal) into one writer session, and optimises the index only
// when nothing is left waiting: a rebuild that submits notes one by one
// costs about what one big submission costs. Each submission still replaces
// its documents in order, so a later submission's text of an identifier
// wins, and each gets its own per-document answer, as if it had run alone.
//
// While it writes, the indexer holds the index folder's lock
// (KXSFolderLock), so that a second running copy of the program waits for it
// instead of writing the same index at the same time. A session commits and
// lets the folder go at least every kMaxDocumentsPerLock documents or
// kMaxLockHoldMilliseconds, so the other copy (and its searches) get their
// turn even while this one has a long queue; a chunk that cannot have the
// folder within the lock timeout fails with KXSErrorIndexBusy. Only while it
// holds that lock, on that queue, does the indexer break a write lock that an
// earlier, interrupted writer left behind.
//
// A submission replaces the document of the same identifier safely: the new
// document is committed first and only then is the old one removed, so a
// failure leaves the old text searchable; a search in between counts only
// the new document. The completion tells, per
// document, whether it is in the index with its new text; the data client
// marks an entry indexed only then.
//
// Documents are read (identifier, searchable text, category) on the calling
// thread when they are submitted; the work and the completion run later on
// the index queue.
//
// Thread safety: every member may be called from any thread. The paths are
// guarded by State::mutex. The destructor stops observing the context and
// waits until every task queued on the index queue before it has run (unless
// it runs on that queue itself).
#ifndef ZN_SEARCH_KXSINDEXPROXY_H_
#define ZN_SEARCH_KXSINDEXPROXY_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"
#include "platform/SerialQueue.h"
#include "search/KXSContext.h"
#include "search/KXSSumbitedDocumentProtocol.h"

class KXSIndexProxy {
 public:
  using Documents = std::vector<std::shared_ptr<const KXSSumbitedDocumentProtocol>>;
  // indexed[i] tells whether documents[i] is in the index with its text;
  // the error describes the first failure (empty when all went in).
  using SubmitCompletion =
      std::function<void(const std::vector<bool>& indexed, const kx::Error& error)>;
  using RemoveCompletion = std::function<void(const kx::Error& error)>;

  // The version of the analysis that turns texts into index terms. It
  // changes when the same text is indexed differently (version 2: gaps at
  // separators and removed stop words); documents indexed under an older
  // version keep their old terms until they are submitted again (by an
  // edit, or by the store's index rebuild, which is to run again when the
  // version it recorded is older than this one).
  static constexpr int kAnalysisVersion = 2;

  // The longest searchable text kept per document, in UTF-16 units.
  static constexpr std::size_t kMaxIndexedLength = 500;
  // How long a batch waits for another process to release the index folder
  // before it gives up, by default.
  static constexpr double kDefaultLockTimeoutSeconds = 10.0;
  // A writer session commits and releases the folder lock after this many
  // documents, or once it has added documents for this long (the commit
  // then follows), whichever comes first. Large enough that the per-commit
  // cost (opening a writer, writing a segment, removing replaced copies)
  // stays small beside the adding; small enough that another copy of the
  // program waits well under a second for the folder.
  static constexpr std::size_t kMaxDocumentsPerLock = 1000;
  static constexpr double kMaxLockHoldMilliseconds = 250;

  // A new indexer with the shared context's paths, observing its "isReload"
  // flag; nullptr when the index folder is not an existing folder or the
  // stop-word file does not exist.
  static std::unique_ptr<KXSIndexProxy> create();

  ~KXSIndexProxy();
  KXSIndexProxy(const KXSIndexProxy&) = delete;
  KXSIndexProxy& operator=(const KXSIndexProxy&) = delete;

  // The serial queue of every index write in the process.
  static kx::SerialQueue& indexQueue();

  // Copies the worker count and the two paths from the shared context when
  // it is initialised; otherwise does nothing.
  void reload();

  // Return at once; the work runs on the index queue, then the completion
  // (when given) on the same queue.
  void submitDocuments(const Documents& documents, SubmitCompletion completion = nullptr);
  void removeDocuments(const Documents& documents, RemoveCompletion completion = nullptr);

  // The same work, waiting for it (run on the index queue; inline when
  // called from it).
  std::vector<bool> submitDocumentsSync(const Documents& documents, kx::Error* error);
  [[nodiscard]] bool removeDocumentsSync(const Documents& documents, kx::Error* error);

  // The searchable text of a document: the texts it offers, in the order
  // attachment, author, content, source, title, joined with one blank; cut
  // to kMaxIndexedLength UTF-16 units without splitting a character.
  static std::string searchableText(const KXSSumbitedDocumentProtocol& document);
  // The category of an identifier: its POSIX directory name without the
  // first character ("" for a bare file id, "a/b" for "/a/b/c").
  static std::string categoryForID(std::string_view identifier);
  // The file in the index folder that a batch locks.
  static std::string folderLockPath(const std::string& indexDirectory);

  // How long each batch waits for the folder lock (0: a single try).
  void setLockTimeout(double seconds);
  // How many documents, and for how long, a writer session adds before it
  // lets the folder go (kMaxDocumentsPerLock and kMaxLockHoldMilliseconds
  // by default).
  void setLockHoldLimits(std::size_t documents, double milliseconds);

  std::string currentIndexDirectoryPath() const;
  std::string currentIndexStopWordsPath() const;

 private:
  struct State;

  KXSIndexProxy();

  std::shared_ptr<State> state_;
  KXSContext::ObserverToken observer_ = 0;
};

#endif  // ZN_SEARCH_KXSINDEXPROXY_H_
