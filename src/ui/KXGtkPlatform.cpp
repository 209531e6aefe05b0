#include "ui/KXGtkPlatform.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <sys/stat.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <cairo.h>
#include <chrono>
#include <cstdlib>
#include <utility>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "ui/KXGLibMainQueue.h"
#include "ui/KXMainThread.h"

namespace {

const char* const kFrontErrorDomain = "com.zarvel.note.desktop";

kx::Error makeError(int code, const std::string& text) {
  return kx::Error::make(kFrontErrorDomain, code, text);
}

// Draws the status image: a page with a folded corner and three lines, in
// black on transparent (a symbolic icon the panel may tint).
bool drawStatusIcon(const std::string& path) {
  const int size = 16;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgba(cr, 0, 0, 0, 0);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  cairo_set_source_rgba(cr, 0, 0, 0, 0.9);
  cairo_set_line_width(cr, 1.2);
  cairo_move_to(cr, 3.5, 1.5);
  cairo_line_to(cr, 10.5, 1.5);
  cairo_line_to(cr, 13.5, 4.5);
  cairo_line_to(cr, 13.5, 14.5);
  cairo_line_to(cr, 3.5, 14.5);
  cairo_close_path(cr);
  cairo_stroke(cr);
  cairo_move_to(cr, 10.5, 1.5);
  cairo_line_to(cr, 10.5, 4.5);
  cairo_line_to(cr, 13.5, 4.5);
  cairo_stroke(cr);
  for (double y : {7.0, 9.5, 12.0}) {
    cairo_move_to(cr, 5.5, y);
    cairo_line_to(cr, 11.5, y);
  }
  cairo_stroke(cr);
  cairo_destroy(cr);
  bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

// ---------------------------------------------------------------------------
// Application

class GtkApplicationPort : public KXApplicationPort {
 public:
  explicit GtkApplicationPort(const std::string& applicationId) {
    app_ = gtk_application_new(applicationId.c_str(), G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(app_, "activate", G_CALLBACK(onActivate), this);
  }
  ~GtkApplicationPort() override { g_object_unref(app_); }

  GtkApplication* app() { return app_; }

  void setDelegate(KXApplicationDelegate* delegate) override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform application setDelegate");
    delegate_ = delegate;
  }

  void terminate() override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform application terminate");
    if (terminating_) return;
    auto finish = [this, alive = alive_](bool terminate) {
      if (!*alive || !terminate || terminating_) return;
      terminating_ = true;
      if (delegate_) delegate_->willTerminate();
      if (held_) {
        held_ = false;
        g_application_release(G_APPLICATION(app_));
      }
      g_application_quit(G_APPLICATION(app_));
    };
    if (delegate_) {
      delegate_->shouldTerminate(finish);
    } else {
      finish(true);
    }
  }

  std::shared_ptr<KXDelayClock> clock() override { return KXDelayClock::systemClock(); }

  int run(int argc, char** argv) {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform run");
    KXGLibMainQueue::install();
    guint term = g_unix_signal_add(SIGTERM, onSignal, this);
    guint interrupt = g_unix_signal_add(SIGINT, onSignal, this);
    int status = g_application_run(G_APPLICATION(app_), argc, argv);
    g_source_remove(term);
    g_source_remove(interrupt);
    KXGLibMainQueue::uninstall();
    kx::MainQueue::shared().drain();
    return status;
  }

 private:
  static void onActivate(GtkApplication*, gpointer data) {
    auto* self = static_cast<GtkApplicationPort*>(data);
    if (!self->launched_) {
      self->launched_ = true;
      // No window keeps the application alive; closing the last one must
      // not end it.
      g_application_hold(G_APPLICATION(self->app_));
      self->held_ = true;
      if (self->delegate_) self->delegate_->didFinishLaunching();
      return;
    }
    if (self->delegate_) self->delegate_->reopen();
  }

  static gboolean onSignal(gpointer data) {
    static_cast<GtkApplicationPort*>(data)->terminate();
    return G_SOURCE_CONTINUE;
  }

  GtkApplication* app_ = nullptr;
  KXApplicationDelegate* delegate_ = nullptr;
  bool launched_ = false;
  bool held_ = false;
  bool terminating_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// ---------------------------------------------------------------------------
// Status item

// Whether a status-notifier host is listening on the session bus. Without
// one the indicator library falls back to the old X11 tray icon, which is
// deprecated, absent under Wayland, and crashed in trials on a bare X
// server; the item is then not made at all.
bool statusNotifierHostPresent() {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    if (error) g_error_free(error);
    return false;
  }
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", "org.kde.StatusNotifierWatcher"), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
  gboolean present = FALSE;
  if (reply) {
    g_variant_get(reply, "(b)", &present);
    g_variant_unref(reply);
  }
  if (error) g_error_free(error);
  g_object_unref(bus);
  return present;
}

class GtkStatusItem : public KXStatusItemPort {
 public:
  explicit GtkStatusItem(std::string iconDirectory) : iconDirectory_(std::move(iconDirectory)) {}
  ~GtkStatusItem() override { remove(); }

  bool create(const std::string& imageName, std::vector<MenuItem> menu) override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform status item create");
    remove();
    if (!statusNotifierHostPresent()) return false;
    g_mkdir_with_parents(iconDirectory_.c_str(), 0700);
    std::string iconPath = kx::Path::appendingPathComponent(iconDirectory_, imageName + ".png");
    if (!drawStatusIcon(iconPath)) KXLOG("cannot draw the status image at %s", iconPath.c_str());
    indicator_ = app_indicator_new_with_path("zarvelnote", imageName.c_str(),
                                             APP_INDICATOR_CATEGORY_APPLICATION_STATUS,
                                             iconDirectory_.c_str());
    if (!indicator_) return false;
    items_ = std::move(menu);
    menu_ = gtk_menu_new();
    g_object_ref_sink(menu_);
    for (std::size_t i = 0; i < items_.size(); ++i) {
      GtkWidget* item = gtk_menu_item_new_with_label(items_[i].title.c_str());
      g_object_set_data(G_OBJECT(item), "kx-index", GSIZE_TO_POINTER(i));
      g_signal_connect(item, "activate", G_CALLBACK(onItem), this);
      gtk_menu_shell_append(GTK_MENU_SHELL(menu_), item);
    }
    gtk_widget_show_all(menu_);
    app_indicator_set_menu(indicator_, GTK_MENU(menu_));
    app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
    return true;
  }

  void remove() override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform status item remove");
    if (indicator_) {
      app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
      g_object_unref(indicator_);
      indicator_ = nullptr;
    }
    if (menu_) {
      gtk_widget_destroy(menu_);
      g_object_unref(menu_);
      menu_ = nullptr;
    }
    items_.clear();
  }

 private:
  static void onItem(GtkMenuItem* item, gpointer data) {
    auto* self = static_cast<GtkStatusItem*>(data);
    std::size_t index = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(item), "kx-index"));
    if (index >= self->items_.size()) return;
    // The action may remove the item and its menu: it runs after this
    // signal, from the main queue.
    std::function<void()> action = self->items_[index].action;
    if (action) kx::MainQueue::shared().async(std::move(action));
  }

  std::string iconDirectory_;
  AppIndicator* indicator_ = nullptr;
  GtkWidget* menu_ = nullptr;
  std::vector<MenuItem> items_;
};

// ---------------------------------------------------------------------------
// Alerts

class GtkAlerts : public KXUIPort {
 public:
  std::function<void*()> parent;
  std::function<void()> hide;
  std::function<void()> quitProgram;

  void showAlert(const Alert& alert, AlertCompletion completion) override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform showAlert");
    GtkWindow* owner = parent ? static_cast<GtkWindow*>(parent()) : nullptr;
    GtkWidget* dialog = gtk_message_dialog_new(
        owner, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE, "%s", alert.title.c_str());
    if (!alert.message.empty()) {
      gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                               alert.message.c_str());
    }
    std::vector<std::string> buttons = alert.buttons;
    if (buttons.empty()) buttons.push_back("OK");
    for (std::size_t i = 0; i < buttons.size(); ++i) {
      gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), static_cast<int>(i));
    }
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
    auto* held = new AlertCompletion(std::move(completion));
    g_signal_connect_data(
        dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
          auto* done = static_cast<AlertCompletion*>(data);
          // Closing the alert without a button is the default answer.
          std::size_t chosen = response >= 0 ? static_cast<std::size_t>(response) : 0;
          AlertCompletion completion = std::move(*done);
          gtk_widget_destroy(GTK_WIDGET(d));
          if (completion) {
            kx::MainQueue::shared().async([completion, chosen] { completion(chosen); });
          }
        }),
        held, [](gpointer data, GClosure*) { delete static_cast<AlertCompletion*>(data); },
        GConnectFlags(0));
    gtk_widget_show(dialog);
  }

  void hideMainWindow() override {
    if (hide) hide();
  }
  void quit() override {
    if (quitProgram) quitProgram();
  }
};

// ---------------------------------------------------------------------------
// Web windows

long nextWindowNumber = 1;

class GtkWebWindow : public KXWebWindowPort {
 public:
  GtkWebWindow(GtkApplication* app, WebKitWebContext* context, std::string proxyUser,
               std::string proxySecret)
      : number_(nextWindowNumber++),
        proxyUser_(std::move(proxyUser)),
        proxySecret_(std::move(proxySecret)) {
    window_ = gtk_application_window_new(app);
    g_object_ref(window_);
    gtk_window_set_title(GTK_WINDOW(window_), "ZarvelNote");
    gtk_window_set_default_size(GTK_WINDOW(window_), 1200, 800);
    GdkRGBA windowColour{224 / 255.0, 225 / 255.0, 229 / 255.0, 1};
    GtkCssProvider* css = gtk_css_provider_new();
    gchar* rule =
        g_strdup_printf("window { background-color: %s; }", gdk_rgba_to_string(&windowColour));
    gtk_css_provider_load_from_data(css, rule, -1, nullptr);
    g_free(rule);
    gtk_style_context_add_provider(gtk_widget_get_style_context(window_), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, nullptr));
    g_object_ref(view_);
    GdkRGBA pageColour{248 / 255.0, 248 / 255.0, 248 / 255.0, 1};
    webkit_web_view_set_background_color(view_, &pageColour);
    WebKitSettings* settings = webkit_web_view_get_settings(view_);
    webkit_settings_set_enable_write_console_messages_to_stdout(settings, FALSE);
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
    gtk_widget_show(GTK_WIDGET(view_));

    g_signal_connect(view_, "authenticate", G_CALLBACK(onAuthenticate), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(window_, "notify::is-active", G_CALLBACK(onActive), this);
    g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);
  }

  ~GtkWebWindow() override {
    *alive_ = false;
    g_signal_handlers_disconnect_by_data(view_, this);
    g_signal_handlers_disconnect_by_data(window_, this);
    gtk_widget_destroy(window_);
    g_object_unref(view_);
    g_object_unref(window_);
  }

  GtkWindow* gtkWindow() { return GTK_WINDOW(window_); }

  void setDelegate(KXWebWindowDelegate* delegate) override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform window setDelegate");
    delegate_ = delegate;
  }
  long windowNumber() const override { return number_; }

  void present() override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform window present");
    gtk_widget_show(window_);
    gtk_window_present(GTK_WINDOW(window_));
  }
  void orderOut() override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform window orderOut");
    gtk_widget_hide(window_);
  }
  bool isKey() const override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform window isKey");
    return gtk_window_is_active(GTK_WINDOW(window_));
  }
  bool isVisible() const override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform window isVisible");
    return gtk_widget_get_visible(window_);
  }

  std::string defaultUserAgent() const override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform window defaultUserAgent");
    const gchar* agent = webkit_settings_get_user_agent(webkit_web_view_get_settings(view_));
    return agent ? agent : "";
  }
  void setCustomUserAgent(const std::string& userAgent) override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform window setCustomUserAgent");
    webkit_settings_set_user_agent(webkit_web_view_get_settings(view_), userAgent.c_str());
  }
  void setDeveloperExtras(bool enabled) override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform window setDeveloperExtras");
    webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(view_), enabled);
  }
  void loadHTML(const std::string& html, const std::string& baseURL) override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform window loadHTML");
    webkit_web_view_load_html(view_, html.c_str(), baseURL.c_str());
  }
  void loadURL(const std::string& url) override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform window loadURL");
    webkit_web_view_load_uri(view_, url.c_str());
  }

  void evaluateScript(const std::string& script, ScriptCompletion completion) override {
    KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform window evaluateScript");
    struct Pending {
      std::shared_ptr<bool> alive;
      ScriptCompletion completion;
    };
    auto* pending = new Pending{alive_, std::move(completion)};
    webkit_web_view_evaluate_javascript(
        view_, script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
          GError* error = nullptr;
          JSCValue* value =
              webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
          std::optional<std::string> text;
          if (value) {
            if (jsc_value_is_null(value) || jsc_value_is_undefined(value)) {
              text = "";
            } else {
              gchar* s = jsc_value_to_string(value);
              text = s ? s : "";
              g_free(s);
            }
            g_object_unref(value);
          }
          if (error) g_error_free(error);
          if (*pending->alive && pending->completion) pending->completion(std::move(text));
        },
        pending);
  }

 private:
  static gboolean onAuthenticate(WebKitWebView*, WebKitAuthenticationRequest* request,
                                 gpointer data) {
    auto* self = static_cast<GtkWebWindow*>(data);
    // Only the loopback front asks, and only for its secret; a retry means
    // the secret was refused, which no dialog could mend.
    if (!webkit_authentication_request_is_for_proxy(request) ||
        webkit_authentication_request_is_retry(request) || self->proxySecret_.empty()) {
      webkit_authentication_request_cancel(request);
      return TRUE;
    }
    WebKitCredential* credential =
        webkit_credential_new(self->proxyUser_.c_str(), self->proxySecret_.c_str(),
                              WEBKIT_CREDENTIAL_PERSISTENCE_FOR_SESSION);
    webkit_authentication_request_authenticate(request, credential);
    webkit_credential_free(credential);
    return TRUE;
  }

  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto* self = static_cast<GtkWebWindow*>(data);
    if (event != WEBKIT_LOAD_FINISHED || !self->delegate_) return;
    const gchar* uri = webkit_web_view_get_uri(view);
    self->delegate_->didFinishLoad(uri ? uri : "");
  }

  static void onActive(GObject*, GParamSpec*, gpointer data) {
    auto* self = static_cast<GtkWebWindow*>(data);
    if (!self->delegate_) return;
    if (gtk_window_is_active(GTK_WINDOW(self->window_))) {
      self->delegate_->didBecomeKey();
    } else {
      self->delegate_->didResignKey();
    }
  }

  // Closing hides the window: it keeps its page, and the program runs on.
  static gboolean onDelete(GtkWidget* widget, GdkEvent*, gpointer) {
    gtk_widget_hide(widget);
    return TRUE;
  }

  const long number_;
  std::string proxyUser_;
  std::string proxySecret_;
  GtkWidget* window_ = nullptr;
  WebKitWebView* view_ = nullptr;
  KXWebWindowDelegate* delegate_ = nullptr;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

// ---------------------------------------------------------------------------
// Platform

class KXGtkPlatform::Impl {
 public:
  Impl(std::string applicationId, std::string iconDirectory)
      : application(applicationId), statusItem(std::move(iconDirectory)) {
    alerts = std::make_shared<GtkAlerts>();
    alerts->quitProgram = [this] { application.terminate(); };
    // Alerts attach to the application's active window, when there is one.
    alerts->parent = [this]() -> void* {
      return gtk_application_get_active_window(application.app());
    };
  }
  ~Impl() {
    if (context) g_object_unref(context);
    if (dataManager) g_object_unref(dataManager);
  }

  GtkApplicationPort application;
  GtkStatusItem statusItem;
  std::shared_ptr<GtkAlerts> alerts;
  WebKitWebsiteDataManager* dataManager = nullptr;
  WebKitWebContext* context = nullptr;
  KXGtkPlatform::WebOptions web;
};

KXGtkPlatform::KXGtkPlatform(std::string applicationId, std::string iconDirectory)
    : impl_(std::make_unique<Impl>(std::move(applicationId), std::move(iconDirectory))) {}

KXGtkPlatform::~KXGtkPlatform() = default;

bool KXGtkPlatform::displayAvailable() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland)) return false;
  return gtk_init_check(nullptr, nullptr);
}

bool KXGtkPlatform::configureWeb(const WebOptions& options, kx::Error* error) {
  KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform configureWeb");
  if (impl_->context) {
    if (error) *error = makeError(1, "the web context is already set up");
    return false;
  }
  impl_->web = options;
  for (const std::string& folder : {options.dataDirectory, options.cacheDirectory}) {
    if (!folder.empty() && g_mkdir_with_parents(folder.c_str(), 0700) != 0) {
      if (error) *error = makeError(2, "cannot create " + folder);
      return false;
    }
  }
  impl_->dataManager = webkit_website_data_manager_new(
      "base-data-directory",
      options.dataDirectory.empty() ? nullptr : options.dataDirectory.c_str(),
      "base-cache-directory",
      options.cacheDirectory.empty() ? nullptr : options.cacheDirectory.c_str(), nullptr);
  if (!options.proxyURL.empty()) {
    WebKitNetworkProxySettings* proxy =
        webkit_network_proxy_settings_new(options.proxyURL.c_str(), nullptr);
    webkit_website_data_manager_set_network_proxy_settings(impl_->dataManager,
                                                           WEBKIT_NETWORK_PROXY_MODE_CUSTOM, proxy);
    webkit_network_proxy_settings_free(proxy);
  }
  webkit_website_data_manager_set_tls_errors_policy(impl_->dataManager,
                                                    WEBKIT_TLS_ERRORS_POLICY_FAIL);
  impl_->context = webkit_web_context_new_with_website_data_manager(impl_->dataManager);
  if (!options.cookieFile.empty()) {
    // The file is made here with mode 0600, before the network process
    // opens it: cookies stand for the signed-in session.
    int fd = ::open(options.cookieFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
    ::chmod(options.cookieFile.c_str(), 0600);
    WebKitCookieManager* cookies =
        webkit_website_data_manager_get_cookie_manager(impl_->dataManager);
    webkit_cookie_manager_set_persistent_storage(cookies, options.cookieFile.c_str(),
                                                 WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
  }
  return true;
}

bool KXGtkPlatform::allowCertificate(const std::string& host, const std::string& certificatePEM,
                                     kx::Error* error) {
  bool ok = false;
  kx::Error failure;
  kx::MainQueue::shared().sync([&] {
    if (!impl_->context) {
      failure = makeError(3, "the web context is not set up");
      return;
    }
    GError* gerror = nullptr;
    GTlsCertificate* certificate =
        g_tls_certificate_new_from_pem(certificatePEM.c_str(), -1, &gerror);
    if (!certificate) {
      failure = makeError(4, std::string("unreadable certificate for ") + host + ": " +
                                 (gerror ? gerror->message : "?"));
      if (gerror) g_error_free(gerror);
      return;
    }
    webkit_web_context_allow_tls_certificate_for_host(impl_->context, certificate, host.c_str());
    g_object_unref(certificate);
    ok = true;
  });
  if (!ok && error) *error = failure;
  return ok;
}

void KXGtkPlatform::clearCookies(const std::string& host) {
  KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform clearCookies");
  if (!impl_->dataManager) return;
  struct Request {
    WebKitWebsiteDataManager* manager;
    std::string host;
  };
  auto* request = new Request{WEBKIT_WEBSITE_DATA_MANAGER(g_object_ref(impl_->dataManager)), host};
  // The records name sites by their registrable domain or host; those of
  // the host (or a domain it belongs to) lose their cookies.
  webkit_website_data_manager_fetch(
      impl_->dataManager, WEBKIT_WEBSITE_DATA_COOKIES, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Request> request(static_cast<Request*>(data));
        GList* records = webkit_website_data_manager_fetch_finish(
            WEBKIT_WEBSITE_DATA_MANAGER(source), result, nullptr);
        GList* matching = nullptr;
        for (GList* it = records; it; it = it->next) {
          auto* record = static_cast<WebKitWebsiteData*>(it->data);
          std::string name = webkit_website_data_get_name(record);
          const std::string& host = request->host;
          bool match =
              host == name || (host.size() > name.size() &&
                               host.compare(host.size() - name.size(), name.size(), name) == 0 &&
                               host[host.size() - name.size() - 1] == '.');
          if (match) matching = g_list_prepend(matching, record);
        }
        if (matching) {
          webkit_website_data_manager_remove(request->manager, WEBKIT_WEBSITE_DATA_COOKIES,
                                             matching, nullptr, nullptr, nullptr);
          g_list_free(matching);
        }
        g_list_free_full(records, reinterpret_cast<GDestroyNotify>(webkit_website_data_unref));
        g_object_unref(request->manager);
      },
      request);
}

bool KXGtkPlatform::activateRunningInstance() {
  KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform activateRunningInstance");
  GApplication* app = G_APPLICATION(impl_->application.app());
  GError* error = nullptr;
  if (!g_application_register(app, nullptr, &error)) {
    // No session bus: the program runs, but is not unique.
    KXLOG("not registered on the session bus: %s", error ? error->message : "?");
    if (error) g_error_free(error);
    g_application_set_flags(app, G_APPLICATION_NON_UNIQUE);
    return false;
  }
  if (!g_application_get_is_remote(app)) return false;
  g_application_activate(app);
  // The activation is a message on the bus: it must leave before we do.
  if (GDBusConnection* bus = g_application_get_dbus_connection(app)) {
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
  }
  return true;
}

int KXGtkPlatform::run(int argc, char** argv) { return impl_->application.run(argc, argv); }

void KXGtkPlatform::setAlertParent(std::function<void*()> parent) {
  impl_->alerts->parent = std::move(parent);
}

void KXGtkPlatform::setHideMainWindow(std::function<void()> hide) {
  impl_->alerts->hide = std::move(hide);
}

KXApplicationPort& KXGtkPlatform::application() { return impl_->application; }

KXStatusItemPort& KXGtkPlatform::statusItem() { return impl_->statusItem; }

std::shared_ptr<KXUIPort> KXGtkPlatform::alerts() { return impl_->alerts; }

std::shared_ptr<KXWebWindowPort> KXGtkPlatform::makeWebWindow() {
  KX_UI_CHECK_MAIN_THREAD("KXGtkPlatform makeWebWindow");
  if (!impl_->context) {
    kx::Error ignored;
    kx::ignoreError(configureWeb(WebOptions{}, &ignored));
  }
  return std::make_shared<GtkWebWindow>(impl_->application.app(), impl_->context,
                                        impl_->web.proxyUser, impl_->web.proxySecret);
}
