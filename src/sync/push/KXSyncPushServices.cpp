#include "sync/push/KXSyncPushServices.h"

#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/KXUIPort.h"
#include "Data/client/KXDataClient.h"
#include "platform/UserDefaults.h"
#include "sync/cycle/KXConcurrentController.h"

KXSyncPushServices KXSyncPushServices::resolved() const {
  KXSyncPushServices out = *this;
  if (!out.client) out.client = &KXDataClient::defaultDataClient();
  if (out.serviceBaseURL.empty()) out.serviceBaseURL = KXServiceBaseURL();
  if (!out.controller) out.controller = &KXConcurrentController::pushController();
  if (!out.ui) out.ui = KXUIPort::installed();
  if (!out.editorVersion) {
    out.editorVersion = [] {
      return kx::UserDefaults::standardUserDefaults().stringForKey("editorversionformac");
    };
  }
  return out;
}
