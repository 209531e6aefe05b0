#include "shell/KXLogindSleepMonitor.h"

#include <gio/gio.h>

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/SleepNotifications.h"

struct KXLogindSleepMonitor::Loop {
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  GDBusConnection* connection = nullptr;
  guint subscription = 0;
  kx::NotificationCenter* center = nullptr;

  ~Loop() {
    if (connection != nullptr) {
      if (subscription != 0) g_dbus_connection_signal_unsubscribe(connection, subscription);
      g_object_unref(connection);
    }
    if (loop != nullptr) g_main_loop_unref(loop);
    if (context != nullptr) g_main_context_unref(context);
  }

  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer data) {
    auto* self = static_cast<Loop*>(data);
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
    gboolean sleeping = FALSE;
    g_variant_get(parameters, "(b)", &sleeping);
    self->center->post(
        sleeping ? kx::kWorkspaceWillSleepNotification : kx::kWorkspaceDidWakeNotification,
        nullptr);
  }
};

KXLogindSleepMonitor::KXLogindSleepMonitor(std::string busAddress, kx::NotificationCenter* center)
    : busAddress_(std::move(busAddress)),
      center_(center != nullptr ? center : &kx::NotificationCenter::defaultCenter()) {}

KXLogindSleepMonitor::~KXLogindSleepMonitor() { stop(); }

bool KXLogindSleepMonitor::start() {
  if (isRunning()) return true;
  auto loop = std::make_unique<Loop>();
  loop->center = center_;
  loop->context = g_main_context_new();
  // The connection delivers its signals to the context that is the thread
  // default while it is made and while the subscription is made.
  g_main_context_push_thread_default(loop->context);
  GError* error = nullptr;
  if (busAddress_.empty()) {
    // A private connection, so its signals belong to our context and not to
    // the process's shared system-bus connection.
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (address != nullptr) {
      loop->connection = g_dbus_connection_new_for_address_sync(
          address,
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, &error);
      g_free(address);
    }
  } else {
    loop->connection = g_dbus_connection_new_for_address_sync(
        busAddress_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
  }
  if (loop->connection == nullptr) {
    g_main_context_pop_thread_default(loop->context);
    KXLOG("no system bus, so sleep and wake are not seen: %s",
          error != nullptr ? error->message : "unknown error");
    if (error != nullptr) g_error_free(error);
    return false;
  }
  loop->subscription = g_dbus_connection_signal_subscribe(
      loop->connection, kBusName, kInterface, kSignal, kObjectPath, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, &Loop::onSignal, loop.get(), nullptr);
  g_main_context_pop_thread_default(loop->context);
  loop->loop = g_main_loop_new(loop->context, FALSE);
  loop_ = std::move(loop);
  Loop* running = loop_.get();
  thread_ = std::thread([running] {
    g_main_context_push_thread_default(running->context);
    g_main_loop_run(running->loop);
    g_main_context_pop_thread_default(running->context);
  });
  return true;
}

void KXLogindSleepMonitor::stop() {
  if (!isRunning()) return;
  // Quitting from another thread: the loop may not have started running yet,
  // so the quit is queued on its context rather than asked once.
  GMainLoop* loop = loop_->loop;
  GSource* source = g_idle_source_new();
  g_source_set_callback(
      source,
      [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
      },
      loop, nullptr);
  g_source_attach(source, loop_->context);
  g_source_unref(source);
  thread_.join();
  loop_.reset();
}
