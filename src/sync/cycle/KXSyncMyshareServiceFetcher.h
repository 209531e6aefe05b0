// KXSyncMyshareServiceFetcher is the content fetcher the program installs
// on the my-share proxy: POST "/qrt/api/personal/myshare?method=download"
// with "entryId" and "version"; a 200 answer's body is the entry's content
// (UTF-8 text; note XML for notes). Anything else is a failure.
//
// Thread safety: fetchContent may be called from any thread; the
// completion runs once, on the transport's threads.
#ifndef ZN_SYNC_KXSYNCMYSHARESERVICEFETCHER_H_
#define ZN_SYNC_KXSYNCMYSHARESERVICEFETCHER_H_

#include <string>

#include "sync/cycle/KXSyncMyshareContentFetcher.h"

class KXSyncMyshareServiceFetcher : public KXSyncMyshareContentFetcher {
 public:
  static constexpr const char* kDownloadPath = "/qrt/api/personal/myshare?method=download";

  // "": the service at KXServiceBaseURL.
  explicit KXSyncMyshareServiceFetcher(std::string serviceBaseURL = {});

  void fetchContent(const std::string& fileId, const kx::Value& version,
                    Completion completion) override;

 private:
  const std::string serviceBaseURL_;
};

#endif  // ZN_SYNC_KXSYNCMYSHARESERVICEFETCHER_H_
