#include "Data/client/KXFoundationHooks.h"

#include "Data/DataUtil/KXHtmlUtil.h"
#include "Data/client/KXFileManager.h"
#include "account/KXCrossdomainRequest.h"
#include "account/KXSession.h"

void KXInstallFoundationHooks() {
  KXSession::defaultSession();
  KXCrossdomainRequest::sharedRequest();
  KXFileManager::defaultManauger();
  // Plain-text extraction of note HTML reaches the HTML helpers through a hook.
  KXHtmlUtil::sharedUtil();
}
