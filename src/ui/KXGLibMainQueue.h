// KXGLibMainQueue runs the program's main queue (kx::MainQueue) on GLib's
// default main context: install() sets the queue's wake hook so that each
// posted task schedules one idle source, which drains the queue on the
// thread running the GLib loop. No timer polls; a loop with nothing to do
// sleeps.
//
// Thread safety: install() and uninstall() on the main thread; the hook
// itself may run on any thread (g_idle_add is thread-safe).
#ifndef ZN_UI_KXGLIBMAINQUEUE_H_
#define ZN_UI_KXGLIBMAINQUEUE_H_

class KXGLibMainQueue {
 public:
  KXGLibMainQueue() = delete;

  static void install();
  static void uninstall();
};

#endif  // ZN_UI_KXGLIBMAINQUEUE_H_
