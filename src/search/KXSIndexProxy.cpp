#include "search/KXSIndexProxy.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <map>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/FileSystem.h"
#include "platform/Mutex.h"
#include "platform/Path.h"
#include "platform/Text.h"
#include "search/KXSError.h"
#include "search/KXSFolderLock.h"
#include "search/KXSLucene.h"
#include "search/KXSTextUtil.h"

namespace {

// What one batch needs of the indexer, read once when the batch starts.
struct Settings {
  std::string indexDirectory;
  std::string stopWordsPath;
  double lockTimeoutSeconds = 0;
  std::size_t maxDocumentsPerLock = KXSIndexProxy::kMaxDocumentsPerLock;
  double maxLockHoldMilliseconds = KXSIndexProxy::kMaxLockHoldMilliseconds;

  // Whether submissions under both settings may share one writer session.
  bool writesLike(const Settings& other) const {
    return indexDirectory == other.indexDirectory && stopWordsPath == other.stopWordsPath;
  }
};

}  // namespace

struct KXSIndexProxy::State {
  mutable kx::Mutex mutex;
  std::uint8_t currentQueueCount GUARDED_BY(mutex) = 0;
  std::string currentIndexDirectoryPath GUARDED_BY(mutex);
  std::string currentIndexStopWordsPath GUARDED_BY(mutex);
  double lockTimeoutSeconds GUARDED_BY(mutex) = kDefaultLockTimeoutSeconds;
  std::size_t maxDocumentsPerLock GUARDED_BY(mutex) = kMaxDocumentsPerLock;
  double maxLockHoldMilliseconds GUARDED_BY(mutex) = kMaxLockHoldMilliseconds;

  Settings settings() const {
    kx::MutexLock lock(mutex);
    return Settings{currentIndexDirectoryPath, currentIndexStopWordsPath, lockTimeoutSeconds,
                    maxDocumentsPerLock, maxLockHoldMilliseconds};
  }
};

namespace {

// One document as read at submission.
struct PreparedDocument {
  KXSLucene::Document document;
  // False when the identifier is empty or not valid UTF-8: such a document
  // cannot be found again and is not indexed.
  bool valid = false;
};

// Takes the folder lock and readies the index for a writer. On success
// *create tells whether the writer must create the index.
[[nodiscard]] bool beginWriting(const Settings& settings, KXSFolderLock* lock, bool* create,
                                kx::Error* error) {
  if (settings.indexDirectory.empty()) {
    kx::SetError(error, KXSMakeError(KXSErrorNotConfigured, "no full-text index folder is set"));
    return false;
  }
  if (!lock->acquire(settings.indexDirectory, settings.lockTimeoutSeconds, error)) {
    return false;
  }
  return KXSLucene::prepareForWriting(settings.indexDirectory, create, error);
}

[[nodiscard]] bool runRemove(const Settings& settings, const std::vector<std::string>& ids,
                             kx::Error* error) {
  try {
    if (ids.empty()) return true;
    KXSFolderLock lock;
    bool create = false;
    if (!beginWriting(settings, &lock, &create, error)) return false;
    if (create) return true;  // no index yet: nothing to remove
    return KXSLucene::removeDocuments(settings.indexDirectory, ids, error);
  } catch (const std::exception& e) {
    kx::SetError(error,
                 KXSMakeError(KXSErrorUnexpected, std::string("removal failed: ") + e.what()));
  } catch (...) {
    kx::SetError(error, KXSMakeError(KXSErrorUnexpected, "removal failed"));
  }
  return false;
}

bool isUsableIdentifier(const std::string& id) { return !id.empty() && kx::Text::isValidUtf8(id); }

std::vector<PreparedDocument> prepare(const KXSIndexProxy::Documents& documents) {
  std::vector<PreparedDocument> prepared(documents.size());
  for (std::size_t i = 0; i < documents.size(); ++i) {
    const auto& document = documents[i];
    if (!document) continue;
    try {
      PreparedDocument& p = prepared[i];
      p.document.id = document->fieldID();
      p.valid = isUsableIdentifier(p.document.id);
      if (!p.valid) continue;
      p.document.content = KXSIndexProxy::searchableText(*document);
      p.document.category = KXSIndexProxy::categoryForID(p.document.id);
    } catch (...) {
      prepared[i].valid = false;
    }
  }
  return prepared;
}

std::vector<std::string> identifiersOf(const KXSIndexProxy::Documents& documents) {
  std::vector<std::string> ids;
  for (const auto& document : documents) {
    if (!document) continue;
    try {
      std::string id = document->fieldID();
      if (isUsableIdentifier(id)) ids.push_back(std::move(id));
    } catch (...) {
    }
  }
  return ids;
}

// ---------------------------------------------------------------------------
// Calls waiting for the index queue

// One submitDocuments or removeDocuments call, as it waits for its turn.
struct PendingCall {
  bool isRemoval = false;
  // The indexer's settings when the call's turn comes.
  std::function<Settings()> settings;
  std::vector<PreparedDocument> documents;  // a submission's documents
  std::vector<std::string> ids;             // a removal's identifiers
  std::function<void(const std::vector<bool>& indexed, const kx::Error& error)> submitted;
  std::function<void(bool removed, const kx::Error& error)> removed;
};

// Every call of every indexer not yet taken up, in the order they were
// made. Only the index queue takes calls out.
kx::Mutex& pendingMutex() {
  static kx::Mutex* mutex = new kx::Mutex();
  return *mutex;
}
std::deque<std::shared_ptr<PendingCall>>& pendingCalls() REQUIRES(pendingMutex()) {
  static auto* calls = new std::deque<std::shared_ptr<PendingCall>>();
  return *calls;
}

void addPendingCall(std::shared_ptr<PendingCall> call) {
  kx::MutexLock lock(pendingMutex());
  pendingCalls().push_back(std::move(call));
}

std::shared_ptr<PendingCall> takeFirstCall() {
  kx::MutexLock lock(pendingMutex());
  auto& calls = pendingCalls();
  if (calls.empty()) return nullptr;
  std::shared_ptr<PendingCall> call = std::move(calls.front());
  calls.pop_front();
  return call;
}

// The first waiting call when it is a submission that may share a writer
// session with `settings`; nullptr otherwise (a removal must wait for the
// submissions before it and keep the ones after it waiting).
std::shared_ptr<PendingCall> takeJoiningSubmission(const Settings& settings) {
  kx::MutexLock lock(pendingMutex());
  auto& calls = pendingCalls();
  if (calls.empty() || calls.front()->isRemoval) return nullptr;
  if (!calls.front()->settings().writesLike(settings)) return nullptr;
  std::shared_ptr<PendingCall> call = std::move(calls.front());
  calls.pop_front();
  return call;
}

bool noCallWaiting() {
  kx::MutexLock lock(pendingMutex());
  return pendingCalls().empty();
}

// A submission taken into a writer session, with what has become of each of
// its documents so far.
struct ActiveSubmission {
  std::shared_ptr<PendingCall> call;
  // As KXSLucene::WriteResult::indexed and ::errors, per document.
  std::vector<bool> written;
  std::vector<kx::Error> errors;
  kx::Error invalid;     // the first invalid document's error
  std::size_t next = 0;  // the first document not yet handed to a writer

  explicit ActiveSubmission(std::shared_ptr<PendingCall> c) : call(std::move(c)) {
    const std::size_t count = call->documents.size();
    written.assign(count, false);
    errors.assign(count, kx::Error());
    for (std::size_t i = 0; i < count; ++i) {
      if (call->documents[i].valid) continue;
      errors[i] = KXSMakeError(KXSErrorInvalidDocument,
                               "a document without a valid identifier cannot be indexed");
      if (!invalid) invalid = errors[i];
    }
    skipInvalid();
  }

  void skipInvalid() {
    while (next < call->documents.size() && !call->documents[next].valid) ++next;
  }
  bool done() const { return next >= call->documents.size(); }

  // Every document not yet written fails with `error`.
  void failRest(const kx::Error& error) {
    for (; next < call->documents.size(); ++next) {
      if (call->documents[next].valid) errors[next] = error;
    }
  }

  // Answers the caller: a document counts as indexed when the last of the
  // submission's documents with its identifier (its latest text) went in
  // and is what the index holds, exactly as when the submission is written
  // alone.
  void finish() {
    const auto& documents = call->documents;
    std::map<std::string, std::size_t> last;
    for (std::size_t i = 0; i < documents.size(); ++i) {
      if (documents[i].valid) last[documents[i].document.id] = i;
    }
    std::vector<bool> indexed(documents.size(), false);
    kx::Error first = invalid;
    for (std::size_t i = 0; i < documents.size(); ++i) {
      if (!documents[i].valid) continue;
      const std::size_t latest = last[documents[i].document.id];
      indexed[i] = written[latest];
      if (!indexed[i] && !first) first = errors[latest];
    }
    if (first) {
      KXLOG("indexing %zu documents: %s", documents.size(), first.localizedDescription().c_str());
    }
    if (call->submitted) {
      kx::Queue::invokeGuarded([&] { call->submitted(indexed, first); },
                               "KXSIndexProxy submit completion");
    }
  }
};

// Hands the documents not yet written to writers, one chunk per hold of the
// folder lock, taking in the submissions that wait behind them as it goes.
// Returns when every submission taken is answered and no submission that
// may join is waiting, or after the folder could not be had.
void writeSubmissions(std::shared_ptr<PendingCall> first) {
  std::vector<ActiveSubmission> active;
  // Answers every submission taken: nothing counts as indexed.
  auto failAll = [&active](const kx::Error& error) {
    for (ActiveSubmission& a : active) {
      for (std::size_t i = 0; i < a.written.size(); ++i) {
        a.written[i] = false;
        if (!a.errors[i]) a.errors[i] = error;
      }
      a.next = a.call->documents.size();
      a.finish();
    }
    active.clear();
  };
  try {
    const Settings settings = first->settings();
    active.emplace_back(std::move(first));
    const KXSLucene::StopWords stopWords = KXSLucene::loadStopWords(settings.stopWordsPath);
    for (;;) {
      const bool allDone = std::all_of(active.begin(), active.end(),
                                       [](const ActiveSubmission& a) { return a.done(); });
      if (allDone) {
        // Nothing is half written: answer now (an answer may start new calls
        // on this queue, which then come after these).
        std::vector<ActiveSubmission> answered = std::move(active);
        active.clear();
        for (ActiveSubmission& a : answered) a.finish();
        std::shared_ptr<PendingCall> next = takeJoiningSubmission(settings);
        if (!next) return;
        active.emplace_back(std::move(next));
        continue;
      }

      KXSFolderLock lock;
      bool create = false;
      kx::Error lockError;
      if (!beginWriting(settings, &lock, &create, &lockError)) {
        for (ActiveSubmission& a : active) a.failRest(lockError);
        std::vector<ActiveSubmission> answered = std::move(active);
        active.clear();
        for (ActiveSubmission& a : answered) a.finish();
        return;
      }
      const auto deadline =
          std::chrono::steady_clock::now() +
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              std::chrono::duration<double, std::milli>(settings.maxLockHoldMilliseconds));

      // The chunk: the documents not yet written, in call order, then those
      // of the submissions waiting behind, up to the document limit.
      std::vector<KXSLucene::Document> chunk;
      std::vector<std::pair<std::size_t, std::size_t>> origin;  // (submission, document)
      bool everything = true;
      // A submission goes into a chunk whole when it fits in what is left of
      // the chunk; only one larger than a whole chunk is cut.
      std::vector<bool> stopPoints;
      auto collect = [&](std::size_t s) {
        const auto& documents = active[s].call->documents;
        std::size_t remaining = 0;
        for (std::size_t i = active[s].next; i < documents.size(); ++i) {
          if (documents[i].valid) ++remaining;
        }
        if (!chunk.empty() && chunk.size() + remaining > settings.maxDocumentsPerLock) {
          everything = remaining == 0;
          return;
        }
        bool first = true;
        for (std::size_t i = active[s].next; i < documents.size(); ++i) {
          if (!documents[i].valid) continue;
          if (chunk.size() >= settings.maxDocumentsPerLock) {
            everything = false;
            return;
          }
          chunk.push_back(documents[i].document);
          origin.emplace_back(s, i);
          stopPoints.push_back(first);
          first = false;
        }
      };
      for (std::size_t s = 0; s < active.size() && everything; ++s) collect(s);
      while (everything && chunk.size() < settings.maxDocumentsPerLock) {
        std::shared_ptr<PendingCall> next = takeJoiningSubmission(settings);
        if (!next) break;
        active.emplace_back(std::move(next));
        collect(active.size() - 1);
      }

      KXSLucene::WriteLimits limits;
      limits.maxDocuments = settings.maxDocumentsPerLock;
      limits.deadline = deadline;
      limits.stopPoints = std::move(stopPoints);
      // Optimise once, when the queue has run empty.
      limits.optimize = everything && noCallWaiting();
      const KXSLucene::WriteResult result =
          KXSLucene::writeDocuments(settings.indexDirectory, create, stopWords, chunk, limits);
      lock.release();
      for (std::size_t k = 0; k < result.taken && k < origin.size(); ++k) {
        ActiveSubmission& a = active[origin[k].first];
        const std::size_t i = origin[k].second;
        a.written[i] = result.indexed[k];
        a.errors[i] = result.errors[k];
        a.next = i + 1;
      }
      for (ActiveSubmission& a : active) a.skipInvalid();
    }
  } catch (const std::exception& e) {
    failAll(KXSMakeError(KXSErrorUnexpected, std::string("indexing failed: ") + e.what()));
  } catch (...) {
    failAll(KXSMakeError(KXSErrorUnexpected, "indexing failed"));
  }
}

void removeNow(const PendingCall& call) {
  kx::Error error;
  const bool removed = runRemove(call.settings(), call.ids, &error);
  if (error) {
    KXLOG("removing %zu documents: %s", call.ids.size(), error.localizedDescription().c_str());
  }
  if (call.removed) {
    kx::Queue::invokeGuarded([&] { call.removed(removed, error); },
                             "KXSIndexProxy remove completion");
  }
}

// Runs on the index queue: takes up the first waiting call (with the
// submissions behind it). False when no call was waiting.
bool serveWaitingCalls() {
  std::shared_ptr<PendingCall> call = takeFirstCall();
  if (!call) return false;
  if (call->isRemoval) {
    removeNow(*call);
  } else {
    writeSubmissions(std::move(call));
  }
  return true;
}

// dirname(3) as POSIX describes it, without touching its argument.
std::string posixDirectoryName(std::string_view path) {
  if (path.empty()) return ".";
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // trailing slashes
  if (end == 1 && path[0] == '/') return "/";
  const std::size_t slash = path.substr(0, end).rfind('/');
  if (slash == std::string_view::npos) return ".";
  std::size_t cut = slash;
  while (cut > 0 && path[cut - 1] == '/') --cut;  // slashes before the last component
  if (cut == 0) return "/";
  return std::string(path.substr(0, cut));
}

}  // namespace

KXSIndexProxy::KXSIndexProxy() : state_(std::make_shared<State>()) {}

KXSIndexProxy::~KXSIndexProxy() {
  if (observer_ != 0) KXSContext::sharedContext().removeReloadObserver(observer_);
  // Let every batch queued so far finish before the owner tears down what
  // they write into (inline, at once, when called from the queue itself).
  indexQueue().sync([] {});
}

std::unique_ptr<KXSIndexProxy> KXSIndexProxy::create() {
  std::unique_ptr<KXSIndexProxy> proxy(new KXSIndexProxy());
  proxy->reload();
  const std::string directory = proxy->currentIndexDirectoryPath();
  const std::string stopWords = proxy->currentIndexStopWordsPath();
  kx::FileSystem& fileSystem = kx::FileSystem::Default();
  bool isDirectory = false;
  const bool haveDirectory =
      !directory.empty() && fileSystem.exists(directory, &isDirectory) && isDirectory;
  const bool haveStopWords =
      !stopWords.empty() && fileSystem.exists(stopWords, &isDirectory) && !isDirectory;
  if (!haveDirectory || !haveStopWords) {
    KXLOG("no indexer: index folder \"%s\" %s, stop-word file \"%s\" %s", directory.c_str(),
          haveDirectory ? "present" : "missing", stopWords.c_str(),
          haveStopWords ? "present" : "missing");
    return nullptr;
  }
  KXSIndexProxy* raw = proxy.get();
  // The observer is removed in the destructor before the proxy goes away;
  // the context guarantees that no call is running or starts after that.
  proxy->observer_ = KXSContext::sharedContext().addReloadObserver([raw] { raw->reload(); });
  return proxy;
}

kx::SerialQueue& KXSIndexProxy::indexQueue() {
  static kx::SerialQueue* queue = new kx::SerialQueue("com.zarvel.note.queue.fts-indexer");
  return *queue;
}

void KXSIndexProxy::reload() {
  KXSContext& context = KXSContext::sharedContext();
  if (!context.isInitialized()) return;
  const std::uint8_t count = context.workerCountOfIndexQueue();
  std::string directory = context.pathOfIndexDirectory();
  std::string stopWords = context.pathOfStopWords();
  kx::MutexLock lock(state_->mutex);
  state_->currentQueueCount = count;
  state_->currentIndexDirectoryPath = std::move(directory);
  state_->currentIndexStopWordsPath = std::move(stopWords);
}

void KXSIndexProxy::setLockTimeout(double seconds) {
  kx::MutexLock lock(state_->mutex);
  state_->lockTimeoutSeconds = seconds;
}

void KXSIndexProxy::setLockHoldLimits(std::size_t documents, double milliseconds) {
  kx::MutexLock lock(state_->mutex);
  state_->maxDocumentsPerLock = std::max<std::size_t>(1, documents);
  state_->maxLockHoldMilliseconds = std::max(0.0, milliseconds);
}

std::string KXSIndexProxy::currentIndexDirectoryPath() const {
  kx::MutexLock lock(state_->mutex);
  return state_->currentIndexDirectoryPath;
}

std::string KXSIndexProxy::currentIndexStopWordsPath() const {
  kx::MutexLock lock(state_->mutex);
  return state_->currentIndexStopWordsPath;
}

void KXSIndexProxy::submitDocuments(const Documents& documents, SubmitCompletion completion) {
  auto call = std::make_shared<PendingCall>();
  std::shared_ptr<State> state = state_;
  call->settings = [state] { return state->settings(); };
  call->documents = prepare(documents);
  call->submitted = std::move(completion);
  addPendingCall(std::move(call));
  indexQueue().async([] { serveWaitingCalls(); });
}

void KXSIndexProxy::removeDocuments(const Documents& documents, RemoveCompletion completion) {
  auto call = std::make_shared<PendingCall>();
  std::shared_ptr<State> state = state_;
  call->isRemoval = true;
  call->settings = [state] { return state->settings(); };
  call->ids = identifiersOf(documents);
  if (completion) {
    call->removed = [completion = std::move(completion)](bool, const kx::Error& error) {
      completion(error);
    };
  }
  addPendingCall(std::move(call));
  indexQueue().async([] { serveWaitingCalls(); });
}

std::vector<bool> KXSIndexProxy::submitDocumentsSync(const Documents& documents, kx::Error* error) {
  auto call = std::make_shared<PendingCall>();
  std::shared_ptr<State> state = state_;
  call->settings = [state] { return state->settings(); };
  call->documents = prepare(documents);
  std::vector<bool> indexed(documents.size(), false);
  kx::Error failure;
  bool answered = false;
  call->submitted = [&](const std::vector<bool>& answer, const kx::Error& e) {
    indexed = answer;
    failure = e;
    answered = true;
  };
  addPendingCall(call);
  // The calls made before this one go first, and may take this one along.
  indexQueue().sync([&] {
    while (!answered && serveWaitingCalls()) {
    }
  });
  if (!answered) {
    failure = KXSMakeError(KXSErrorUnexpected, "the submission was not answered");
  }
  if (failure) kx::SetError(error, failure);
  return indexed;
}

bool KXSIndexProxy::removeDocumentsSync(const Documents& documents, kx::Error* error) {
  auto call = std::make_shared<PendingCall>();
  std::shared_ptr<State> state = state_;
  call->isRemoval = true;
  call->settings = [state] { return state->settings(); };
  call->ids = identifiersOf(documents);
  bool removed = false;
  kx::Error failure;
  bool answered = false;
  call->removed = [&](bool done, const kx::Error& e) {
    removed = done;
    failure = e;
    answered = true;
  };
  addPendingCall(call);
  indexQueue().sync([&] {
    while (!answered && serveWaitingCalls()) {
    }
  });
  if (!answered) failure = KXSMakeError(KXSErrorUnexpected, "the removal was not answered");
  if (failure) kx::SetError(error, failure);
  return removed && answered;
}

std::string KXSIndexProxy::searchableText(const KXSSumbitedDocumentProtocol& document) {
  std::string text;
  bool any = false;
  for (const std::optional<std::string>& field :
       {document.fieldAttachment(), document.fieldAuthor(), document.fieldContent(),
        document.fieldSource(), document.fieldTitle()}) {
    if (!field) continue;
    if (any) text.push_back(' ');
    text += *field;
    any = true;
  }
  return kx::Text::utf16Prefix(text, kMaxIndexedLength);
}

std::string KXSIndexProxy::categoryForID(std::string_view identifier) {
  return KXSTextUtil::dropFirstCharacter(posixDirectoryName(identifier));
}

std::string KXSIndexProxy::folderLockPath(const std::string& indexDirectory) {
  return KXSFolderLock::lockPath(indexDirectory);
}
