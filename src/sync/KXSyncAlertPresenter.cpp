#include "sync/KXSyncAlertPresenter.h"

#include "CommonUtils/KXLogger.h"

void KXSyncAlertPresenter::runAlert(const std::string& messageText,
                                    const std::string& informativeText,
                                    const std::vector<std::string>& buttons, Dismissed dismissed) {
  KXLOG("alert: %s / %s", messageText.c_str(), informativeText.c_str());
  if (dismissed) dismissed(0);
}
