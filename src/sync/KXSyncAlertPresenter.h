// KXSyncAlertPresenter shows the sync engine's modal alerts: a message, an
// informative text and buttons (none given: one default button), and tells
// when the user dismissed the alert and with which button (0 the first).
//
// This is the narrow alert interface the sync engine needs until the
// interface layer offers its own; the shell installs one that shows real
// alerts. The default presenter has no window to show an alert in: it logs
// the alert and dismisses it at once with its first button.
//
// The sync engine calls runAlert on the main queue only.
#ifndef ZN_SYNC_KXSYNCALERTPRESENTER_H_
#define ZN_SYNC_KXSYNCALERTPRESENTER_H_

#include <functional>
#include <string>
#include <vector>

class KXSyncAlertPresenter {
 public:
  using Dismissed = std::function<void(int buttonIndex)>;

  virtual ~KXSyncAlertPresenter() = default;

  virtual void runAlert(const std::string& messageText, const std::string& informativeText,
                        const std::vector<std::string>& buttons, Dismissed dismissed);
};

#endif  // ZN_SYNC_KXSYNCALERTPRESENTER_H_
