#include "search/KXSIndexProxy.h"

#include <algorithm>
#include <exception>
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
};

}  // namespace

struct KXSIndexProxy::State {
  mutable kx::Mutex mutex;
  std::uint8_t currentQueueCount GUARDED_BY(mutex) = 0;
  std::string currentIndexDirectoryPath GUARDED_BY(mutex);
  std::string currentIndexStopWordsPath GUARDED_BY(mutex);
  double lockTimeoutSeconds GUARDED_BY(mutex) = kDefaultLockTimeoutSeconds;

  Settings settings() const {
    kx::MutexLock lock(mutex);
    return Settings{currentIndexDirectoryPath, currentIndexStopWordsPath, lockTimeoutSeconds};
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
bool beginWriting(const Settings& settings, KXSFolderLock* lock, bool* create, kx::Error* error) {
  if (settings.indexDirectory.empty()) {
    kx::SetError(error, KXSMakeError(KXSErrorNotConfigured, "no full-text index folder is set"));
    return false;
  }
  if (!lock->acquire(settings.indexDirectory, settings.lockTimeoutSeconds, error)) {
    return false;
  }
  return KXSLucene::prepareForWriting(settings.indexDirectory, create, error);
}

std::vector<bool> runSubmit(const Settings& settings,
                            const std::vector<PreparedDocument>& documents, kx::Error* error) {
  std::vector<bool> indexed(documents.size(), false);
  kx::Error first;
  auto note = [&first](const kx::Error& e) {
    if (!first) first = e;
  };
  try {
    std::vector<KXSLucene::Document> batch;
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < documents.size(); ++i) {
      if (!documents[i].valid) {
        note(KXSMakeError(KXSErrorInvalidDocument,
                          "a document without a valid identifier cannot be indexed"));
        continue;
      }
      batch.push_back(documents[i].document);
      positions.push_back(i);
    }
    if (!batch.empty()) {
      KXSFolderLock lock;
      bool create = false;
      kx::Error e;
      if (!beginWriting(settings, &lock, &create, &e)) {
        note(e);
      } else {
        std::vector<bool> added;
        kx::ignoreError(KXSLucene::addDocuments(settings.indexDirectory, create,
                                KXSLucene::loadStopWords(settings.stopWordsPath), batch, &added,
                                &e));
        if (e) note(e);
        for (std::size_t k = 0; k < positions.size() && k < added.size(); ++k) {
          indexed[positions[k]] = added[k];
        }
      }
    }
  } catch (const std::exception& e) {
    note(KXSMakeError(KXSErrorUnexpected, std::string("indexing failed: ") + e.what()));
    std::fill(indexed.begin(), indexed.end(), false);
  } catch (...) {
    note(KXSMakeError(KXSErrorUnexpected, "indexing failed"));
    std::fill(indexed.begin(), indexed.end(), false);
  }
  if (first) {
    KXLOG("indexing %zu documents: %s", documents.size(), first.localizedDescription().c_str());
  }
  kx::SetError(error, first);
  return indexed;
}

bool runRemove(const Settings& settings, const std::vector<std::string>& ids, kx::Error* error) {
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

bool isUsableIdentifier(const std::string& id) {
  return !id.empty() && kx::Text::isValidUtf8(id);
}

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

std::string KXSIndexProxy::currentIndexDirectoryPath() const {
  kx::MutexLock lock(state_->mutex);
  return state_->currentIndexDirectoryPath;
}

std::string KXSIndexProxy::currentIndexStopWordsPath() const {
  kx::MutexLock lock(state_->mutex);
  return state_->currentIndexStopWordsPath;
}

void KXSIndexProxy::submitDocuments(const Documents& documents, SubmitCompletion completion) {
  std::vector<PreparedDocument> prepared = prepare(documents);
  std::shared_ptr<State> state = state_;
  indexQueue().async([state, prepared = std::move(prepared), completion = std::move(completion)] {
    kx::Error error;
    const std::vector<bool> indexed = runSubmit(state->settings(), prepared, &error);
    if (completion) {
      kx::Queue::invokeGuarded([&] { completion(indexed, error); },
                               "KXSIndexProxy submit completion");
    }
  });
}

void KXSIndexProxy::removeDocuments(const Documents& documents, RemoveCompletion completion) {
  std::vector<std::string> ids = identifiersOf(documents);
  std::shared_ptr<State> state = state_;
  indexQueue().async([state, ids = std::move(ids), completion = std::move(completion)] {
    kx::Error error;
    runRemove(state->settings(), ids, &error);
    if (error) KXLOG("removing %zu documents: %s", ids.size(), error.localizedDescription().c_str());
    if (completion) {
      kx::Queue::invokeGuarded([&] { completion(error); }, "KXSIndexProxy remove completion");
    }
  });
}

std::vector<bool> KXSIndexProxy::submitDocumentsSync(const Documents& documents,
                                                     kx::Error* error) {
  const std::vector<PreparedDocument> prepared = prepare(documents);
  std::vector<bool> indexed;
  kx::Error failure;
  indexQueue().sync([&] { indexed = runSubmit(state_->settings(), prepared, &failure); });
  if (failure) kx::SetError(error, failure);
  return indexed;
}

bool KXSIndexProxy::removeDocumentsSync(const Documents& documents, kx::Error* error) {
  const std::vector<std::string> ids = identifiersOf(documents);
  bool removed = false;
  kx::Error failure;
  indexQueue().sync([&] { removed = runRemove(state_->settings(), ids, &failure); });
  if (failure) kx::SetError(error, failure);
  return removed;
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
