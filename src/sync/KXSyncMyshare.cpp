#include "sync/KXSyncMyshare.h"

#include <string>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "Data/KXDataClient.h"
#include "Data/KXMyshareHooks.h"
#include "platform/Path.h"

namespace {

std::string StringFor(const kx::Dictionary& info, const char* key) {
  const kx::Value* value = info.find(key);
  return value && !value->isNull() ? value->stringValue() : std::string();
}

kx::Array IndexItem(const std::string& fileId, std::string content) {
  return {kx::Value::dict(
      {{"docContent", kx::Value(std::move(content))}, {"docID", kx::Value(fileId)}})};
}

}  // namespace

KXSyncMyshare& KXSyncMyshare::defaultProxy() {
  static KXSyncMyshare* proxy = new KXSyncMyshare();
  return *proxy;
}

void KXSyncMyshare::installIndexHook() {
  KXMyshareHooks::install(
      [](const kx::Dictionary& fileInfo) { defaultProxy().indexForFileInfo(fileInfo); });
}

KXSyncMyshare::KXSyncMyshare(KXDataClient* client) : client_(client) {}

KXDataClient& KXSyncMyshare::client() {
  return client_ != nullptr ? *client_ : KXDataClient::defaultDataClient();
}

void KXSyncMyshare::setContentFetcher(std::shared_ptr<KXSyncMyshareContentFetcher> fetcher) {
  kx::MutexLock lock(mu_);
  fetcher_ = std::move(fetcher);
}

void KXSyncMyshare::indexForFileInfo(const kx::Dictionary& fileInfo) {
  const std::string fileId = StringFor(fileInfo, "fileId");
  if (fileId.empty()) {
    KXLOG("shared entry without a file id not indexed");
    return;
  }
  const std::string title = StringFor(fileInfo, "title");
  const kx::Value* domain = fileInfo.find("domain");
  if (domain && domain->boolValue() && kx::Path::pathExtension(title) != "md") {
    // A stored file other than Markdown: its title is all there is to find.
    client().indexNotes(IndexItem(fileId, title));
    return;
  }
  std::shared_ptr<KXSyncMyshareContentFetcher> fetcher;
  {
    kx::MutexLock lock(mu_);
    fetcher = fetcher_;
  }
  if (!fetcher) {
    KXLOG("shared entry %s left unindexed: its content cannot be fetched yet", fileId.c_str());
    return;
  }
  const kx::Value* version = fileInfo.find("version");
  KXDataClient* target = &client();
  fetcher->fetchContent(
      fileId, version ? *version : kx::Value(),
      [target, fileId](const std::optional<std::string>& content, const kx::Error& error) {
        if (!content) {
          KXLOG("shared entry %s left unindexed: %s", fileId.c_str(),
                error.localizedDescription().c_str());
          return;
        }
        target->indexNotes(IndexItem(fileId, *content));
      });
}
