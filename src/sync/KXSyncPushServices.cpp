#include "sync/KXSyncPushServices.h"

#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/KXUIPort.h"
#include "Data/KXDataClient.h"
#include "platform/UserDefaults.h"
#include "sync/KXConcurrentController.h"

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
