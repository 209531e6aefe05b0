// KXWebWindowPort is a top-level window that shows one web view: the main
// window and the single-note windows. The window tells its delegate when it
// gains or loses key status and when a page of its web view has finished
// loading.
//
// Scripts run in the page asynchronously: the completion receives the
// result as text ("" for null or undefined, as the page's own
// String(result) otherwise), or nullopt when the script failed or the view
// is gone.
//
// Thread safety: main thread only; implementations check it. Delegate calls
// and completions run on the main thread.
#ifndef ZN_UI_KXWEBWINDOWPORT_H_
#define ZN_UI_KXWEBWINDOWPORT_H_

#include <functional>
#include <optional>
#include <string>

class KXWebWindowDelegate {
 public:
  virtual ~KXWebWindowDelegate() = default;
  virtual void didBecomeKey() {}
  virtual void didResignKey() {}
  // A main-frame load finished (the page at `url`).
  virtual void didFinishLoad(const std::string& url) {}
};

class KXWebWindowPort {
 public:
  using ScriptCompletion = std::function<void(std::optional<std::string> result)>;
  virtual ~KXWebWindowPort() = default;

  // Not owned.
  virtual void setDelegate(KXWebWindowDelegate* delegate) = 0;
  // A number that tells windows apart for the life of the process.
  virtual long windowNumber() const = 0;

  // Brings the window to the front and makes it key.
  virtual void present() = 0;
  // Hides the window (it keeps its page).
  virtual void orderOut() = 0;
  virtual bool isKey() const = 0;
  virtual bool isVisible() const = 0;

  // The web view's own user agent, and one to use instead.
  virtual std::string defaultUserAgent() const = 0;
  virtual void setCustomUserAgent(const std::string& userAgent) = 0;
  // The inspector and the "Inspect" menu of the page.
  virtual void setDeveloperExtras(bool enabled) = 0;
  // Loads `html` as a page whose address is `baseURL`.
  virtual void loadHTML(const std::string& html, const std::string& baseURL) = 0;
  virtual void loadURL(const std::string& url) = 0;
  virtual void evaluateScript(const std::string& script, ScriptCompletion completion) = 0;
};

#endif  // ZN_UI_KXWEBWINDOWPORT_H_
