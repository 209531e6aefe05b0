// KXEntryWrites: entries read back, as web file entries, right after the
// writes that the local web service queued before them.
#include <utility>

#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "platform/GlobalQueue.h"

using namespace kx_data_client;

void KXEntryWrites::entryOnWrittenContextForFileId(const std::string& fileId, bool entire,
                                                   bool convert, KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, fileId, entire, convert,
                           callback = std::move(callback)](KXManagedObjectContext& context) {
    KXFileMetaPtr entry = client_.readsIn(&context).objectForFileMetaID(fileId);
    std::optional<kx::Dictionary> built;
    if (entry) {
      // On the write queue the entry's values are read here, in the write
      // context that holds the unsaved changes.
      KXFileMetaWebUtil util(client_);
      built = convert ? util.fileDictFrom(entry, entire) : util.entryFromFileMeta(entry, entire);
    }
    if (!callback) return;
    if (!built) {
      callback(KXResultInfo::none(), kx::Error());
      return;
    }
    kx::GlobalQueue::get(kx::QueuePriority::High)
        .async([callback, value = kx::Value(std::move(*built))] {
          callback(KXResultInfo::withValue(value), kx::Error());
        });
  });
}
