#include "shell/KXMainWebWindow.h"

#include <cstdio>
#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXStoreState.h"
#include "account/KXSession.h"
#include "account/KXStatitisc.h"
#include "account/NSURLSessionZarvelNote.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "platform/URL.h"
#include "platform/UserDefaults.h"

namespace {

constexpr const char* kEditorVersionDefault = "editorversionformac";
constexpr const char* kDeveloperExtrasDefault = "WebKitDeveloperExtras";
constexpr const char* kEditorDescription = "editor/collab/plimeditor/plim-version.json";
constexpr const char* kBlankPage = "<html><body></body></html>";
constexpr double kRefreshDelay = 0.1;
constexpr double kUpdateTimeout = 10;

std::string bundleRootInResources() {
  return kx::Path::appendingPathComponent(kx::Places::resourcesDirectory(), "UIResources.bundle");
}

// The "version" of the editor's description, as text.
std::optional<std::string> describedEditorVersion(const std::string& bundleRoot) {
  std::string text;
  if (!kx::FileSystem::Default().readFile(
          kx::Path::appendingPathComponent(bundleRoot, kEditorDescription), &text, nullptr)) {
    return std::nullopt;
  }
  kx::Value description = objectFromJSONString(text);
  if (!description.isDictionary()) return std::nullopt;
  const kx::Value& version = description["version"];
  if (version.isString()) return version.string();
  if (version.isNumber()) return version.stringValue();
  return std::nullopt;
}

std::string htmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

KXMainWebWindow::KXMainWebWindow(std::shared_ptr<KXWebWindowPort> window, Environment environment)
    : window_(std::move(window)), env_(std::move(environment)) {
  if (!env_.dbStateValue) {
    env_.dbStateValue = [](const std::string& key) {
      return KXDataClient::defaultDataClient().state().dbStateValueWithKey(key);
    };
  }
  if (!env_.setDbStateValue) {
    env_.setDbStateValue = [](const kx::Value& value, const std::string& key) {
      KXDataClient::defaultDataClient().state().setDbStateValue(value, key);
    };
  }
  if (!env_.performSyncSave) {
    env_.performSyncSave = [] {
      KXDataClient::defaultDataClient().state().performSyncSave(nullptr);
    };
  }
  if (!env_.bridge) env_.bridge = std::make_shared<KXMainWebBridge>();
  if (!env_.clock) env_.clock = KXDelayClock::systemClock();
  if (!env_.webRoot) {
    env_.webRoot = [] {
      std::string path = KXSession::defaultSession().currentWebPath();
      return path.empty() ? bundleRootInResources() : path;
    };
  }
  if (!env_.fetch) {
    env_.fetch = [](const kx::URLRequest& request) {
      return NSURLSessionZarvelNote::syncDataTaskWith(request);
    };
  }
  if (env_.shortVersion.empty()) env_.shortVersion = KXStatitisc::shortVersionString();
  window_->setDelegate(this);
}

KXMainWebWindow::~KXMainWebWindow() {
  *alive_ = false;
  window_->setDelegate(nullptr);
}

const std::vector<std::string>& KXMainWebWindow::localStarageKeys() {
  static const std::vector<std::string>* keys = new std::vector<std::string>{
      "kx:user:file_list_sort_type",
      "kx:user:file_list_show_type",
      "kx:user:first-noteBg",
      "kx:user:noteBgId",
      "kx:user:noteBg-notHint",
      "kx:user:defaultFontName",
      "kx:user:defaultFontSize",
      "kx:user:prev-select",
      "kx:all:sidebar_bubble_disable",
      "kx:md:theme",
      "kx:all:sidebar_layout_left_panel_width",
      "kx:all:sidebar_layout_right_panel_width",
      "kx:all:pht",
      "kx:all:sidebar_layout_collaspe",
      "kx:user:hide-tp-dot",
      "kx:all:preview_tip",
  };
  return *keys;
}

std::string KXMainWebWindow::userAgent(const std::string& agent, const std::string& shortVersion,
                                       const std::optional<std::string>& editorVersion) {
  std::string result = agent + " QopalMacClient/" + shortVersion;
  if (editorVersion) result += " editorV/" + *editorVersion;
  return result;
}

std::string KXMainWebWindow::javaScriptStringLiteral(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char escape[8];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      // "<" and ">" as escapes: the literal never closes or opens a tag.
      case '<': out += "\\u003c"; break;
      case '>': out += "\\u003e"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else if (c == 0xe2 && i + 2 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xa8 ||
                    static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
          // U+2028 and U+2029 end a line in older script engines.
          out += static_cast<unsigned char>(text[i + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
          i += 2;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += "\"";
  return out;
}

std::string KXMainWebWindow::udateUrl() { return KXServiceBaseURL() + "/update/macUpdate.xml"; }

std::optional<std::string> KXMainWebWindow::getEditorVersion(const std::string& bundleRoot) {
  kx::UserDefaults& defaults = kx::UserDefaults::standardUserDefaults();
  if (std::optional<std::string> stored = defaults.stringForKey(kEditorVersionDefault)) {
    return stored;
  }
  std::optional<std::string> version = describedEditorVersion(bundleRoot);
  if (!version) return std::nullopt;
  kx::ignoreError(defaults.setObject(kx::Value(*version), kEditorVersionDefault));
  kx::ignoreError(defaults.synchronize());
  return version;
}

void KXMainWebWindow::setCanDebug() {
  kx::UserDefaults::standardUserDefaults().registerDefaults(
      kx::Dictionary{{kDeveloperExtrasDefault, kx::Value(true)}});
}

std::string KXMainWebWindow::missingInterfacePage(const std::string& indexPath) {
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>ZarvelNote</title></head>"
         "<body style=\"font-family:sans-serif;margin:3em;color:#333\">"
         "<h2>The interface files are not installed</h2>"
         "<p>ZarvelNote shows its notes through its web interface, whose files were not "
         "found. Put the interface's files so that this file exists, then start ZarvelNote "
         "again:</p><pre>" +
         htmlEscaped(indexPath) + "</pre></body></html>";
}

std::string KXMainWebWindow::indexPath() const {
  std::string webFolder = kx::Path::appendingPathComponent(env_.webRoot(), "web");
  return kx::Path::appendingPathComponent(webFolder, "index.html");
}

void KXMainWebWindow::windowDidLoad() {
  std::string bundleRoot = bundleRootInResources();
  std::optional<std::string> editorVersion = describedEditorVersion(bundleRoot);
  if (editorVersion) {
    kx::UserDefaults& defaults = kx::UserDefaults::standardUserDefaults();
    kx::ignoreError(defaults.setObject(kx::Value(*editorVersion), kEditorVersionDefault));
    kx::ignoreError(defaults.synchronize());
  }
  window_->setCustomUserAgent(
      userAgent(window_->defaultUserAgent(), env_.shortVersion, editorVersion));
  window_->setDeveloperExtras(
      kx::UserDefaults::standardUserDefaults().boolForKey(kDeveloperExtrasDefault));
  blankPageLoaded_ = false;
  interfaceRequested_ = false;
  window_->loadHTML(kBlankPage, KXServiceBaseURL());
  if (env_.initializeMainMenu) env_.initializeMainMenu();
}

void KXMainWebWindow::didFinishLoad(const std::string& url) {
  // Only the blank start page is this controller's; later loads belong to
  // the web view controller.
  if (blankPageLoaded_) {
    if (interfaceRequested_) KXLOG("web interface loaded: %s", url.c_str());
    return;
  }
  blankPageLoaded_ = true;
  loadLocalStorage();
  interfaceRequested_ = true;
  std::string index = indexPath();
  if (!kx::FileSystem::Default().exists(index)) {
    KXLOG("the web interface is missing: %s", index.c_str());
    window_->loadHTML(missingInterfacePage(index), "about:blank");
    return;
  }
  window_->loadURL(KXServiceBaseURL() + "/web/");
}

void KXMainWebWindow::loadLocalStorage() {
  for (const std::string& key : localStarageKeys()) {
    kx::Value value = env_.dbStateValue(key);
    if (!value.isString() || value.string().empty()) continue;
    window_->evaluateScript("localStorage.setItem(" + javaScriptStringLiteral(key) + ", " +
                                javaScriptStringLiteral(value.string()) + ");",
                            nullptr);
  }
}

void KXMainWebWindow::saveLocalStorage(std::function<void()> done) {
  if (!blankPageLoaded_) {
    if (done) done();
    return;
  }
  struct Pending {
    std::size_t remaining;
    std::function<void()> done;
  };
  const std::vector<std::string>& keys = localStarageKeys();
  auto pending = std::make_shared<Pending>(Pending{keys.size(), std::move(done)});
  // The answers come back in the order asked; each is stored as it comes,
  // and the store is saved after the last.
  for (const std::string& key : keys) {
    window_->evaluateScript(
        "localStorage.getItem(" + javaScriptStringLiteral(key) + ");",
        [this, alive = alive_, key, pending](std::optional<std::string> result) {
          if (!*alive) return;
          if (result) env_.setDbStateValue(kx::Value(*result), key);
          if (--pending->remaining != 0) return;
          env_.performSyncSave();
          if (pending->done) pending->done();
        });
  }
}

void KXMainWebWindow::checkUpdate() {
  kx::GlobalQueue::get().async([fetch = env_.fetch, receive = env_.updateFeed] {
    std::optional<kx::URL> url = kx::URL::parse(udateUrl());
    if (!url) return;
    kx::URLRequest request(*url);
    request.setCachePolicy(kx::URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    request.setTimeoutInterval(kUpdateTimeout);
    std::optional<kx::Bytes> body = fetch(request);
    if (body && receive) receive(*body);
  });
}

void KXMainWebWindow::checkEditorUpdate() {
  if (env_.checkEditorUpdate) env_.checkEditorUpdate();
}

void KXMainWebWindow::showWindow() { window_->present(); }

void KXMainWebWindow::orderOut() { window_->orderOut(); }

bool KXMainWebWindow::isKey() const { return window_->isKey(); }

void KXMainWebWindow::registerSingleWindow(const std::string& fileId,
                                           std::shared_ptr<KXWebWindowPort> window) {
  singleWindows_[fileId] = std::move(window);
}

void KXMainWebWindow::removeSingleWindow(const std::string& fileId) {
  singleWindows_.erase(fileId);
}

void KXMainWebWindow::didBecomeKey() {
  const long number = window_->windowNumber();
  env_.bridge->becomeKeyWindow(number);
  if (number == lastWindowCode_) return;
  lastWindowCode_ = number;
  if (singleWindows_.empty()) return;
  env_.clock->after(kRefreshDelay, kx::MainQueue::shared(),
                    [bridge = env_.bridge] { bridge->callRefresh(); });
}

void KXMainWebWindow::didResignKey() { env_.bridge->loseKeyWindow(window_->windowNumber()); }
