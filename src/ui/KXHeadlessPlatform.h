// KXHeadlessPlatform is the desktop without a window system, for the
// shell's tests: windows are records, the web view's page is a script
// responder the test sets, alerts are answered from a script
// (KXHeadlessUIPort), and the application's loop is the main queue pumped
// by the test. Its clock is the one the test gives (a manual clock).
//
// Every port call checks that it runs on the main thread and stops the
// program otherwise.
//
// Thread safety: main thread only (checked).
#ifndef ZN_UI_KXHEADLESSPLATFORM_H_
#define ZN_UI_KXHEADLESSPLATFORM_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/KXHeadlessUIPort.h"
#include "ui/KXUIPlatform.h"

class KXHeadlessApplication : public KXApplicationPort {
 public:
  explicit KXHeadlessApplication(std::shared_ptr<KXDelayClock> clock);

  void setDelegate(KXApplicationDelegate* delegate) override;
  void terminate() override;
  std::shared_ptr<KXDelayClock> clock() override { return clock_; }

  // What the window system would do: finish launching, activate again.
  void launch();
  void activateAgain();
  // Quit requests made, and whether one was accepted (willTerminate ran).
  int terminateRequests() const { return terminateRequests_; }
  bool terminated() const { return terminated_; }

 private:
  std::shared_ptr<KXDelayClock> clock_;
  KXApplicationDelegate* delegate_ = nullptr;
  int terminateRequests_ = 0;
  bool terminated_ = false;
};

class KXHeadlessStatusItem : public KXStatusItemPort {
 public:
  bool create(const std::string& imageName, std::vector<MenuItem> menu) override;
  void remove() override;

  // Tests: whether the desktop offers a place (default true).
  void setAvailable(bool available) { available_ = available; }
  bool shown() const { return shown_; }
  const std::string& imageName() const { return imageName_; }
  const std::vector<MenuItem>& menu() const { return menu_; }

 private:
  bool available_ = true;
  bool shown_ = false;
  std::string imageName_;
  std::vector<MenuItem> menu_;
};

class KXHeadlessWebWindow : public KXWebWindowPort {
 public:
  struct Load {
    std::string url;   // the address loaded, or the base address of html
    std::string html;  // set for loadHTML
  };
  // Answers a script as the page would: the result's text, or nullopt.
  using Responder = std::function<std::optional<std::string>(const std::string& script)>;

  explicit KXHeadlessWebWindow(long number);

  void setDelegate(KXWebWindowDelegate* delegate) override;
  long windowNumber() const override { return number_; }
  void present() override;
  void orderOut() override;
  bool isKey() const override;
  bool isVisible() const override;
  std::string defaultUserAgent() const override;
  void setCustomUserAgent(const std::string& userAgent) override;
  void setDeveloperExtras(bool enabled) override;
  void loadHTML(const std::string& html, const std::string& baseURL) override;
  void loadURL(const std::string& url) override;
  // The completion is queued on the main queue, as a page answers later.
  void evaluateScript(const std::string& script, ScriptCompletion completion) override;

  // Tests: the page's answers; the load in progress finishes; the window
  // loses key status (another application became active).
  void setResponder(Responder responder) { responder_ = std::move(responder); }
  void finishLoad();
  void resignKey();
  // Makes the window key without a present() (a click on it).
  void becomeKey();

  const std::vector<Load>& loads() const { return loads_; }
  const std::vector<std::string>& scripts() const { return scripts_; }
  const std::string& customUserAgent() const { return customUserAgent_; }
  bool developerExtras() const { return developerExtras_; }
  int presentCount() const { return presentCount_; }

 private:
  const long number_;
  KXWebWindowDelegate* delegate_ = nullptr;
  bool key_ = false;
  bool visible_ = false;
  bool developerExtras_ = false;
  int presentCount_ = 0;
  std::string customUserAgent_;
  std::vector<Load> loads_;
  std::vector<std::string> scripts_;
  Responder responder_;
};

class KXHeadlessPlatform : public KXUIPlatform {
 public:
  explicit KXHeadlessPlatform(std::shared_ptr<KXDelayClock> clock);

  KXHeadlessApplication& application() override { return application_; }
  KXHeadlessStatusItem& statusItem() override { return statusItem_; }
  std::shared_ptr<KXUIPort> alerts() override { return alerts_; }
  std::shared_ptr<KXWebWindowPort> makeWebWindow() override;

  KXHeadlessUIPort& headlessAlerts() { return *alerts_; }
  // The windows made, oldest first.
  const std::vector<std::shared_ptr<KXHeadlessWebWindow>>& windows() const { return windows_; }

 private:
  KXHeadlessApplication application_;
  KXHeadlessStatusItem statusItem_;
  std::shared_ptr<KXHeadlessUIPort> alerts_ = std::make_shared<KXHeadlessUIPort>();
  std::vector<std::shared_ptr<KXHeadlessWebWindow>> windows_;
};

#endif  // ZN_UI_KXHEADLESSPLATFORM_H_
