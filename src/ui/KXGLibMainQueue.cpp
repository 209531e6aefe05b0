#include "ui/KXGLibMainQueue.h"

#include <glib.h>

#include <atomic>

#include "platform/MainQueue.h"
#include "ui/KXMainThread.h"

namespace {

// Whether an idle source is already waiting to drain the queue.
std::atomic<bool> scheduled{false};

gboolean drainMainQueue(gpointer) {
  // Cleared first: a task posted while draining schedules the next round.
  scheduled.store(false);
  kx::MainQueue::shared().drain();
  return G_SOURCE_REMOVE;
}

void schedule() {
  if (scheduled.exchange(true)) return;
  g_idle_add_full(G_PRIORITY_DEFAULT, drainMainQueue, nullptr, nullptr);
}

}  // namespace

void KXGLibMainQueue::install() {
  KX_UI_CHECK_MAIN_THREAD("KXGLibMainQueue::install");
  kx::MainQueue::shared().setWakeHook(schedule);
  // Tasks queued before the hook was there.
  schedule();
}

void KXGLibMainQueue::uninstall() {
  KX_UI_CHECK_MAIN_THREAD("KXGLibMainQueue::uninstall");
  kx::MainQueue::shared().setWakeHook(nullptr);
}
