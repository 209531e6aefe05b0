#include "sync/KXFileMetaDetail.h"

#include <optional>
#include <string>

#include "Data/FileMeta.h"
#include "Data/KXDataClient.h"
#include "Data/KXEntryReads.h"
#include "Data/KXShareLinkHooks.h"
#include "Data/KXSyncRecords.h"
#include "Data/ShareLink.h"

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
