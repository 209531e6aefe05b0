// KXDataConversionPrompt: the conversion's questions as the desktop's alert.
#include "shell/KXDataConversionPrompt.h"

#include <memory>
#include <utility>

#include "CommonUtils/KXUIPort.h"
#include "platform/LocalizedStrings.h"

namespace {
constexpr std::size_t kUpdateAnswer = 0;
}  // namespace

void KXDataConversionPrompt::hideMainWindow() { KXUIPort::installed()->hideMainWindow(); }

void KXDataConversionPrompt::askAboutTooNewStore(
    std::function<void(TooNewStoreChoice)> completion) {
  KXUIPort::Alert alert{kx::LocalizedStrings::localized(kTooNewTitleKey),
                        kx::LocalizedStrings::localized(kTooNewMessageKey),
                        {kx::LocalizedStrings::localized(kUpdateButtonKey),
                         kx::LocalizedStrings::localized(kStayCurrentButtonKey)}};
  KXUIPort::installed()->showAlert(alert, [completion = std::move(completion)](std::size_t chosen) {
    if (!completion) return;
    completion(chosen == kUpdateAnswer ? TooNewStoreChoice::kUpdateApplication
                                       : TooNewStoreChoice::kDropLocalData);
  });
}

void KXDataConversionPrompt::quit() { KXUIPort::installed()->quit(); }
