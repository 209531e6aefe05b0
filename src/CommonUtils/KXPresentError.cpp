#include "CommonUtils/KXPresentError.h"

#include <memory>

#include "CommonUtils/KXErrorDomain.h"
#include "CommonUtils/KXErrorPresenter.h"
#include "platform/LocalizedStrings.h"
#include "platform/MainQueue.h"

kx::Error KXPresentedErrorForKey(const std::string& messageKey) {
  return kx::Error::make(kKXErrorDomain, kKXErrorCodePresented,
                         kx::LocalizedStrings::localized(messageKey));
}

void KXPresentError(const std::string& messageKey) {
  kx::MainQueue::shared().async([messageKey] {
    const kx::Error error = KXPresentedErrorForKey(messageKey);
    std::shared_ptr<KXErrorPresenter> presenter = KXErrorPresenter::installed();
    presenter->presentError(error);
  });
}
