// KXWebPreviewRequestHandler would answer the page's preview of a stored
// file ("/qrt/api/personal/preview/<fileId>") with a small page embedding a
// temporary copy of the file through the web view's plug-in for the type
// "application/kxpreviewtype". The web view used here has no plug-in
// interface, so the handler refuses every request (as it does where the
// plug-in is not available), and preview requests go on as the URL protocol
// decides for service calls it does not answer.
//
// When a handler is made with the plug-in available (tests), it answers:
// no file id: -1011; an entry that is not stored, or no temporary copy:
// the failure page; else the preview page of the copy (previewPage), all
// 200 "HTTP/1.1", from the file manager's copy queue.
//
// previewPage escapes what it puts in attributes (quotes, "<", ">", "&";
// CR, LF and NUL left out) and keeps the script from ending its element.
//
// Thread safety: no state; both request methods may be called from any
// thread at once.
#ifndef ZN_WEBREQUEST_KXWEBPREVIEWREQUESTHANDLER_H_
#define ZN_WEBREQUEST_KXWEBPREVIEWREQUESTHANDLER_H_

#include <memory>
#include <string>

#include "WebRequest/KXDataRequestDelegate.h"

class KXWebPreviewRequestHandler : public KXDataRequestDelegate {
 public:
  static constexpr const char* kPreviewMimeType = "application/kxpreviewtype";
  static constexpr const char* kFailurePage =
      "<html><head></head><body>Message: OFFICE_PREVIEW_FAIL</body></html>";
  // The web view here has no plug-in interface.
  static constexpr bool kPluginAvailable = false;

  static KXWebPreviewRequestHandler& sharedHandler();
  explicit KXWebPreviewRequestHandler(bool pluginAvailable = kPluginAvailable)
      : pluginAvailable_(pluginAvailable) {}

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;
  void previewFailed(const kx::URLRequest& request, KXDataRequestController& sender);

  // The preview page: `script` inlined, an embed of `filePath` of `mimeType`.
  static std::string previewPage(const std::string& script, const std::string& filePath,
                                 const std::string& mimeType);
  // `text` made safe inside a double-quoted attribute.
  static std::string escapeAttribute(const std::string& text);

 private:
  const bool pluginAvailable_;
};

#endif  // ZN_WEBREQUEST_KXWEBPREVIEWREQUESTHANDLER_H_
