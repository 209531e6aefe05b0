// The main queue on GLib's loop, and the headless ports' main-thread rule.
#include "ui/KXGLibMainQueue.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/MainQueue.h"
#include "support/KXManualDelayClock.h"
#include "ui/KXHeadlessPlatform.h"

namespace {

// Ends a GLib loop that has waited too long, so a lost wake fails the test
// instead of hanging it.
gboolean giveUp(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_REMOVE;
}

TEST(KXGLibMainQueueTest, TasksPostedFromOtherThreadsRunInTheGLibLoop) {
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  guint guard = g_timeout_add_seconds(20, giveUp, loop);
  KXGLibMainQueue::install();

  std::atomic<int> ran{0};
  bool allOnMain = true;
  // An async from a thread, a sync from a thread (which waits for the loop),
  // and a timer's task: each must wake the sleeping loop.
  std::thread poster([&] {
    kx::MainQueue::shared().async([&] {
      allOnMain = allOnMain && kx::MainQueue::isMainThread();
      ++ran;
    });
    kx::MainQueue::shared().sync([&] {
      allOnMain = allOnMain && kx::MainQueue::isMainThread();
      ++ran;
    });
    kx::MainQueue::shared().after(0.01, [&] {
      allOnMain = allOnMain && kx::MainQueue::isMainThread();
      ++ran;
      g_main_loop_quit(loop);
    });
  });
  g_main_loop_run(loop);
  poster.join();
  KXGLibMainQueue::uninstall();
  g_source_remove(guard);
  g_main_loop_unref(loop);

  EXPECT_EQ(ran.load(), 3);
  EXPECT_TRUE(allOnMain);
}

TEST(KXGLibMainQueueTest, WakeHookIsCalledForEachPostUntilRemoved) {
  std::atomic<int> wakes{0};
  kx::MainQueue::shared().setWakeHook([&] { ++wakes; });
  std::thread poster([] { kx::MainQueue::shared().async([] {}); });
  poster.join();
  kx::MainQueue::shared().async([] {});
  EXPECT_EQ(wakes.load(), 2);
  kx::MainQueue::shared().setWakeHook(nullptr);
  kx::MainQueue::shared().async([] {});
  EXPECT_EQ(wakes.load(), 2);
  kx::MainQueue::shared().drain();
}

TEST(KXHeadlessPortsTest, WindowCallsOffTheMainThreadStopTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  KXHeadlessPlatform platform(std::make_shared<kxtest::KXManualDelayClock>());
  std::shared_ptr<KXWebWindowPort> window = platform.makeWebWindow();
  EXPECT_DEATH(
      {
        std::thread other([&] { window->loadURL("https://example.invalid/"); });
        other.join();
      },
      "off the main thread: KXHeadlessWebWindow::loadURL");
  EXPECT_DEATH(
      {
        std::thread other([&] { platform.statusItem().remove(); });
        other.join();
      },
      "off the main thread");
  // On the main thread the same calls are fine.
  window->loadURL("https://example.invalid/");
  platform.statusItem().remove();
}

}  // namespace
