#include "Data/client/KXIndexHandOver.h"

#include <unordered_map>
#include <utility>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "search/KXFTSDocument.h"

namespace {

// The text with a blank put before every run of characters above U+00FF,
// so that the analyzer sees such a run apart from the Latin word before it.
// Bytes that do not form UTF-8 are kept as they are.
std::string SpaceWideRuns(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  bool inWideRun = false;
  std::size_t i = 0;
  while (i < text.size()) {
    // A run of single bytes goes over whole; it ends a wide run.
    std::size_t plain = i;
    while (plain < text.size() && static_cast<unsigned char>(text[plain]) < 0xC0) ++plain;
    if (plain > i) {
      out.append(text, i, plain - i);
      inWideRun = false;
      i = plain;
      continue;
    }
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    char32_t codePoint = lead;
    if (lead >= 0xC0 && lead < 0xE0) {
      length = 2;
      codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      length = 3;
      codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead < 0xF8) {
      length = 4;
      codePoint = lead & 0x07;
    }
    if (i + length > text.size()) length = 1;
    for (std::size_t k = 1; k < length; ++k) {
      codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    const bool wide = length > 1 && codePoint > 0xFF;
    if (wide && !inWideRun) out.push_back(' ');
    inWideRun = wide;
    out.append(text, i, length);
    i += length;
  }
  return out;
}

// The marks of one data context's entries and the completions that follow
// them.
struct Marks {
  std::weak_ptr<KXDataContext> data;
  std::vector<std::string> ids;
  std::vector<bool> indexed;
  std::vector<std::function<void()>> dones;
};

bool SameOwner(const std::weak_ptr<KXDataContext>& a, const std::weak_ptr<KXDataContext>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

// Marks the entries whose documents went in and unmarks those whose
// documents did not (the index may hold an older text of them, which the
// rebuild then replaces), in one write block; then the completions.
void QueueMarks(Marks marks) {
  if (marks.ids.empty() && marks.dones.empty()) return;
  std::shared_ptr<KXDataContext> data = marks.data.lock();
  if (!data) return;
  data->performWriteBlock([marks = std::move(marks)](KXManagedObjectContext& context) {
    // Looked up here, in the write context: the change a document follows
    // is stored by now, and an entry gone by now is skipped. The first
    // entry of an id in store order is the one marked.
    for (std::size_t i = 0; i < marks.ids.size(); ++i) {
      std::vector<KXManagedObjectPtr> found =
          context.fetch("FileMeta", "fileId = %@", {kx::Value(marks.ids[i])}, 1);
      if (found.empty()) continue;
      const KXManagedObjectPtr& entry = found.front();
      if (marks.indexed[i]) {
        kx::ignoreError(entry->setValue("hasIndex", kx::Value(true)));
      } else if (!entry->value("hasIndex").isNull()) {
        kx::ignoreError(entry->setValue("hasIndex", kx::Value()));
      }
    }
    for (const auto& done : marks.dones) {
      if (done) done();
    }
  });
}

}  // namespace

std::shared_ptr<KXIndexHandOver> KXIndexHandOver::create(std::shared_ptr<KXSIndexProxy> indexer) {
  return std::shared_ptr<KXIndexHandOver>(new KXIndexHandOver(std::move(indexer)));
}

KXIndexHandOver::KXIndexHandOver(std::shared_ptr<KXSIndexProxy> indexer)
    : indexer_(std::move(indexer)) {}

void KXIndexHandOver::submit(kx::Array documents, std::weak_ptr<KXDataContext> data,
                             std::function<void()> done) {
  Change change;
  change.documents = std::move(documents);
  change.data = std::move(data);
  change.done = std::move(done);
  add(std::move(change));
}

void KXIndexHandOver::remove(KXSIndexProxy::Documents removals) {
  if (removals.empty()) return;
  Change change;
  change.isRemoval = true;
  change.removals = std::move(removals);
  add(std::move(change));
}

void KXIndexHandOver::add(Change change) {
  {
    kx::MutexLock lock(mutex_);
    waiting_.push_back(std::move(change));
    if (scheduled_ || (!closed_ && inFlight_ > 0)) return;
    scheduled_ = true;
  }
  queue_.async([self = shared_from_this()] { self->drain(); });
}

void KXIndexHandOver::close() {
  bool schedule = false;
  {
    kx::MutexLock lock(mutex_);
    closed_ = true;
    schedule = !scheduled_ && !waiting_.empty();
    if (schedule) scheduled_ = true;
  }
  if (schedule) queue_.async([self = shared_from_this()] { self->drain(); });
  queue_.sync([] {});
  // The indexer writes what it was handed before the feed's owner goes.
  kx::SerialQueue& index = KXSIndexProxy::indexQueue();
  if (!index.isCurrent()) index.sync([] {});
}

void KXIndexHandOver::drain() {
  for (;;) {
    std::vector<Change> taken;
    {
      kx::MutexLock lock(mutex_);
      if (waiting_.empty()) {
        scheduled_ = false;
        return;
      }
      taken.assign(std::make_move_iterator(waiting_.begin()),
                   std::make_move_iterator(waiting_.end()));
      waiting_.clear();
    }
    // In order: the submissions between two removals go as one batch.
    std::vector<Change> batch;
    for (Change& change : taken) {
      if (!change.isRemoval) {
        batch.push_back(std::move(change));
        continue;
      }
      if (!batch.empty()) submitBatch(std::exchange(batch, {}));
      if (!indexer_) continue;
      indexer_->removeDocuments(change.removals, [](const kx::Error& error) {
        if (error) KXLOG("index removal: %s", error.localizedDescription().c_str());
      });
    }
    if (!batch.empty()) submitBatch(std::move(batch));
    kx::MutexLock lock(mutex_);
    if (!closed_ && inFlight_ > 0) {
      // What comes meanwhile goes once the indexer has answered.
      scheduled_ = false;
      return;
    }
  }
}

void KXIndexHandOver::submitBatch(std::vector<Change> batch) {
  // One document per identifier, with its latest text, at the place of its
  // first.
  KXSIndexProxy::Documents documents;
  std::vector<std::string> ids;
  std::vector<std::size_t> dataOf;  // per document: the change whose text it is
  std::unordered_map<std::string, std::size_t> position;
  for (std::size_t c = 0; c < batch.size(); ++c) {
    for (const kx::Value& item : batch[c].documents) {
      if (!item.isDictionary()) continue;
      const kx::Value* docID = item.dict().find("docID");
      const kx::Value* content = item.dict().find("docContent");
      if (!docID || docID->isNull() || !content || content->isNull()) continue;
      std::string id = docID->stringValue();
      if (id.empty()) continue;
      std::string text = content->isString() ? SpaceWideRuns(content->string())
                                             : SpaceWideRuns(content->stringValue());
      if (text.empty()) continue;
      auto [slot, added] = position.try_emplace(id, documents.size());
      auto document = std::make_shared<KXFTSDocument>(id, std::move(text));
      if (added) {
        documents.push_back(std::move(document));
        ids.push_back(std::move(id));
        dataOf.push_back(c);
      } else {
        documents[slot->second] = std::move(document);
        dataOf[slot->second] = c;
      }
    }
  }

  auto answered = [self = shared_from_this(), batch = std::move(batch), ids = std::move(ids),
                   dataOf = std::move(dataOf)](const std::vector<bool>& indexed) mutable {
    std::vector<Marks> groups;
    auto groupOf = [&groups](const std::weak_ptr<KXDataContext>& data) -> Marks& {
      for (Marks& group : groups) {
        if (SameOwner(group.data, data)) return group;
      }
      groups.push_back(Marks{data, {}, {}, {}});
      return groups.back();
    };
    for (std::size_t i = 0; i < ids.size(); ++i) {
      Marks& group = groupOf(batch[dataOf[i]].data);
      group.ids.push_back(std::move(ids[i]));
      group.indexed.push_back(i < indexed.size() && indexed[i]);
    }
    for (Change& change : batch) {
      if (change.done) groupOf(change.data).dones.push_back(std::move(change.done));
    }
    for (Marks& group : groups) QueueMarks(std::move(group));
    self->batchAnswered();
  };

  {
    kx::MutexLock lock(mutex_);
    ++inFlight_;
  }
  if (!indexer_) {
    answered({});
    return;
  }
  indexer_->submitDocuments(documents,
                            [answered = std::move(answered)](const std::vector<bool>& indexed,
                                                             const kx::Error& error) mutable {
                              if (error)
                                KXLOG("index submission: %s", error.localizedDescription().c_str());
                              answered(indexed);
                            });
}

void KXIndexHandOver::batchAnswered() {
  {
    kx::MutexLock lock(mutex_);
    --inFlight_;
    if (closed_ || inFlight_ > 0 || scheduled_ || waiting_.empty()) return;
    scheduled_ = true;
  }
  queue_.async([self = shared_from_this()] { self->drain(); });
}
