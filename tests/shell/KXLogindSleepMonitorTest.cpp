// The sleep monitor on a message bus of the test's own (a private
// dbus-daemon), where the test takes logind's name and sends its signal.
#include "shell/KXLogindSleepMonitor.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/SleepNotifications.h"

namespace {

// A dbus-daemon of the test's own, ended with the fixture.
class PrivateBus {
 public:
  PrivateBus() {
    FILE* out = popen(
        "dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1 2>/dev/null",
        "r");
    if (out == nullptr) return;
    char line[512];
    if (fgets(line, sizeof line, out) != nullptr) address_ = trimmed(line);
    if (fgets(line, sizeof line, out) != nullptr) pid_ = std::stoi(trimmed(line));
    pclose(out);
  }
  ~PrivateBus() {
    if (pid_ > 0) kill(pid_, SIGTERM);
  }
  const std::string& address() const { return address_; }

 private:
  static std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
  }
  std::string address_;
  int pid_ = 0;
};

GDBusConnection* connect(const std::string& address) {
  return g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
}

// Takes logind's name on `connection`; true when it is ours.
bool ownLogindName(GDBusConnection* connection) {
  GVariant* reply = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "RequestName", g_variant_new("(su)", KXLogindSleepMonitor::kBusName, 0u),
      G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (reply == nullptr) return false;
  guint32 answer = 0;
  g_variant_get(reply, "(u)", &answer);
  g_variant_unref(reply);
  return answer == 1;  // DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER
}

void sendPrepareForSleep(GDBusConnection* connection, bool sleeping) {
  ASSERT_TRUE(g_dbus_connection_emit_signal(
      connection, nullptr, KXLogindSleepMonitor::kObjectPath, KXLogindSleepMonitor::kInterface,
      KXLogindSleepMonitor::kSignal, g_variant_new("(b)", sleeping ? TRUE : FALSE), nullptr));
  g_dbus_connection_flush_sync(connection, nullptr, nullptr);
}

// Records the sleep and wake notifications of a centre.
class Recorder {
 public:
  explicit Recorder(kx::NotificationCenter& center) : center_(center) {
    for (const char* name :
         {kx::kWorkspaceWillSleepNotification, kx::kWorkspaceDidWakeNotification}) {
      tokens_.push_back(
          center_.addObserver(name, nullptr, nullptr, [this, name](const kx::Notification&) {
            std::lock_guard<std::mutex> lock(mu_);
            seen_.emplace_back(name);
            changed_.notify_all();
          }));
    }
  }
  ~Recorder() {
    for (auto token : tokens_) center_.removeObserver(token);
  }
  bool waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return seen_.size() >= count; });
  }
  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }

 private:
  kx::NotificationCenter& center_;
  std::vector<kx::NotificationCenter::Token> tokens_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> seen_;
};

TEST(KXLogindSleepMonitorTest, PrepareForSleepBecomesSleepAndWakeNotifications) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  kx::NotificationCenter center;
  Recorder recorder(center);
  KXLogindSleepMonitor monitor(bus.address(), &center);
  ASSERT_TRUE(monitor.start());

  GDBusConnection* logind = connect(bus.address());
  ASSERT_NE(logind, nullptr);
  ASSERT_TRUE(ownLogindName(logind));
  sendPrepareForSleep(logind, true);
  sendPrepareForSleep(logind, false);
  ASSERT_TRUE(recorder.waitFor(2));
  EXPECT_EQ(recorder.seen(), (std::vector<std::string>{kx::kWorkspaceWillSleepNotification,
                                                       kx::kWorkspaceDidWakeNotification}));

  // The same signal from anyone but logind is not a power event.
  GDBusConnection* other = connect(bus.address());
  ASSERT_NE(other, nullptr);
  sendPrepareForSleep(other, true);
  sendPrepareForSleep(logind, false);
  ASSERT_TRUE(recorder.waitFor(3));
  EXPECT_EQ(recorder.seen().back(), kx::kWorkspaceDidWakeNotification);
  EXPECT_EQ(recorder.seen().size(), 3u);

  monitor.stop();
  EXPECT_FALSE(monitor.isRunning());
  g_object_unref(other);
  g_object_unref(logind);
}

TEST(KXLogindSleepMonitorTest, NoBusIsNoFailure) {
  kx::NotificationCenter center;
  KXLogindSleepMonitor monitor("unix:path=/nonexistent/bus-socket", &center);
  EXPECT_FALSE(monitor.start());
  EXPECT_FALSE(monitor.isRunning());
  monitor.stop();
}

}  // namespace
