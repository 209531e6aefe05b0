// KXDataClient: its parts, made in the order they rely on each other,
// handed out, and taken down with the client. This file is the one place
// that names every part: the parts use the frame (its data context), and the
// frame's own header and source name none of them.
#include <memory>
#include <utility>

#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataConversion.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/client/KXTagStore.h"
#include "Data/store/KXDataContext.h"

KXDataClient::KXDataClient(std::shared_ptr<KXDataContext> context)
    : context_(std::move(context)),
      reads_(std::make_unique<KXEntryReads>(*this, nullptr)),
      indexing_(std::make_unique<KXIndexFeed>(*this)),
      writes_(std::make_unique<KXEntryWrites>(*this)),
      state_(std::make_unique<KXStoreState>(*this)),
      editorSave_(std::make_unique<KXEditorSave>(*this)),
      tags_(std::make_unique<KXTagStore>(*this)),
      records_(std::make_unique<KXSyncRecords>(*this)),
      conversion_(std::make_unique<KXDataConversion>(*this)) {
  installHooks();
}

bool KXDataClient::openStore() {
  kx::MutexLock lock(openMu_);
  if (opened_ == 0) opened_ = conversion_->dataConvert() ? 1 : 2;
  return opened_ == 1;
}

KXDataClient::~KXDataClient() {
  // Reads and writes queued by this client may still refer to it.
  if (std::shared_ptr<KXDataContext> data = dataContext()) {
    data->dbQueue().sync([] {});
    data->readQueue().sync([] {});
  }
}

KXEntryReads& KXDataClient::reads() { return *reads_; }

KXEntryReads KXDataClient::readsIn(KXManagedObjectContext* context) {
  return KXEntryReads(*this, context);
}

KXEntryWrites& KXDataClient::writes() { return *writes_; }
KXStoreState& KXDataClient::state() { return *state_; }
KXEditorSave& KXDataClient::editorSave() { return *editorSave_; }
KXTagStore& KXDataClient::tags() { return *tags_; }
KXSyncRecords& KXDataClient::records() { return *records_; }
KXIndexFeed& KXDataClient::indexing() { return *indexing_; }
KXDataConversion& KXDataClient::conversion() { return *conversion_; }
