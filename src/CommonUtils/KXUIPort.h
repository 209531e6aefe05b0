// KXUIPort is what code below the shell asks of the user interface: an alert
// with buttons whose chosen answer comes back, hiding the main window, and
// quitting the program. The desktop shell installs its implementation when
// it starts; until then, and in tests, a KXHeadlessUIPort stands in: it shows
// nothing, answers alerts from a script and records what was asked.
//
// Thread safety: showAlert(), hideMainWindow() and quit() are called on the
// main queue. install() and installed() may be called from any thread.
#ifndef ZN_COMMONUTILS_KXUIPORT_H_
#define ZN_COMMONUTILS_KXUIPORT_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class KXUIPort {
 public:
  struct Alert {
    std::string title;
    std::string message;
    // Left to right as shown; the first is the default answer.
    std::vector<std::string> buttons;
  };
  // Receives the index of the chosen button in Alert::buttons.
  using AlertCompletion = std::function<void(std::size_t chosen)>;

  virtual ~KXUIPort() = default;

  // Shows the alert and calls `completion` on the main queue once the user
  // has chosen.
  virtual void showAlert(const Alert& alert, AlertCompletion completion) = 0;
  virtual void hideMainWindow() = 0;
  // Ends the program the way the user's Quit does.
  virtual void quit() = 0;

  // Makes `port` the one in use; nullptr puts a fresh headless port back.
  static void install(std::shared_ptr<KXUIPort> port);
  // The port in use (a headless one when none was installed).
  static std::shared_ptr<KXUIPort> installed();
};

#endif  // ZN_COMMONUTILS_KXUIPORT_H_
