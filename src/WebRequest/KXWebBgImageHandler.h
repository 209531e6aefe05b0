// KXWebBgImageHandler answers the page's list of note paper backgrounds
// ("/qrt/api/personal/notebackground?method=listBgImage") with the JSON
// array of background entries {"bgImageId", "bgImageUrl"}, an empty array
// when there are none.
//
// The list comes from the background list provider, which the paper
// background pack (KXSyncPaperBg::bgList) installs when it is made; until
// then the list is empty.
//
// Thread safety: both request methods may be called from any thread at
// once; the provider is read and replaced under a lock of its own.
#ifndef ZN_WEBREQUEST_KXWEBBGIMAGEHANDLER_H_
#define ZN_WEBREQUEST_KXWEBBGIMAGEHANDLER_H_

#include <functional>
#include <memory>

#include "WebRequest/KXDataRequestDelegate.h"
#include "platform/Value.h"

class KXWebBgImageHandler : public KXDataRequestDelegate {
 public:
  using ListProvider = std::function<kx::Array()>;

  static KXWebBgImageHandler& sharedHandler();
  // `list` null: the process's provider (setListProvider).
  explicit KXWebBgImageHandler(ListProvider list = nullptr);

  static void setListProvider(ListProvider provider);

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;

 private:
  const ListProvider list_;
};

#endif  // ZN_WEBREQUEST_KXWEBBGIMAGEHANDLER_H_
