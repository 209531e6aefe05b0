// KX_UI_CHECK_MAIN_THREAD(what) stops the program with `what` when called
// off the main thread. Every window, web view, status item and application
// call of the interface ports runs on the main thread; the headless ports
// check it in every build, so that a call from another queue fails the test
// that makes it.
#ifndef ZN_UI_KXMAINTHREAD_H_
#define ZN_UI_KXMAINTHREAD_H_

namespace kxui {

// Aborts with a message naming `what` unless on the main thread.
void checkMainThread(const char* what);

}  // namespace kxui

#define KX_UI_CHECK_MAIN_THREAD(what) ::kxui::checkMainThread(what)

#endif  // ZN_UI_KXMAINTHREAD_H_
