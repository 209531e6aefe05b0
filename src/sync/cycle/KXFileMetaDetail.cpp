#include "sync/cycle/KXFileMetaDetail.h"

#include <optional>
#include <string>

#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXShareLinkHooks.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/ShareLink.h"

void KXFileMetaDetail::handleShareLink(const kx::Dictionary& answer,
                                       const std::shared_ptr<FileMeta>& localMeta) {
  handleShareLink(answer, localMeta, KXDataClient::defaultDataClient());
}

void KXFileMetaDetail::handleShareLink(const kx::Dictionary& answer,
                                       const std::shared_ptr<FileMeta>& localMeta,
                                       KXDataClient& client) {
  if (!localMeta) return;
  // The entry's link is read where its context lives.
  bool localShared = false;
  std::optional<std::string> shareUrl;
  bool linkSearchEngineEnable = false;
  std::string fileId;
  client.reads().performSyncReadBlock([&] {
    std::shared_ptr<ShareLink> link = localMeta->shareLinkInfo();
    localShared = link != nullptr;
    if (link) {
      shareUrl = link->shareUrl();
      linkSearchEngineEnable = link->searchEngineEnable();
    }
    fileId = localMeta->fileId();
  });
  if (!localShared) return;

  const bool answerShared = answer["shared"].boolValue();
  const bool searchEngineEnable = answer["searchEngineEnable"].boolValue();
  if (answerShared) {
    if (searchEngineEnable != linkSearchEngineEnable) {
      client.records().updateShareInfo(shareUrl, searchEngineEnable, fileId);
    }
  } else {
    client.records().updateShareInfo(std::nullopt, false, fileId);
  }
}

void KXFileMetaDetail::installShareLinkHook() {
  KXShareLinkHooks::install([](KXDataClient& client, const kx::Dictionary& answer,
                               const std::shared_ptr<FileMeta>& localMeta) {
    handleShareLink(answer, localMeta, client);
  });
}
