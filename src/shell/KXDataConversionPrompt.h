// KXDataConversionPrompt is the desktop's side of the data conversion: it
// hides the main window, asks through an alert whether to update the
// application or to stay on this version and drop the local data (the
// shipped string table's texts, "Update" first and the default), and quits,
// all through the installed KXUIPort. The application installs it on the
// data client's conversion before the store is opened.
//
// Thread safety: every member is called on the main queue (as KXUIPort
// requires); the object holds no state.
#ifndef ZN_SHELL_KXDATACONVERSIONPROMPT_H_
#define ZN_SHELL_KXDATACONVERSIONPROMPT_H_

#include <functional>

#include "Data/client/KXDataConversion.h"

class KXDataConversionPrompt : public KXDataConversionUI {
 public:
  // Keys of the alert's texts in the application's string table.
  static constexpr const char* kTooNewTitleKey = "Database version too high";
  static constexpr const char* kTooNewMessageKey = "UpdateOrDelete";
  static constexpr const char* kUpdateButtonKey = "Update";
  static constexpr const char* kStayCurrentButtonKey = "Stay Current";

  void hideMainWindow() override;
  void askAboutTooNewStore(std::function<void(TooNewStoreChoice)> completion) override;
  void quit() override;
};

#endif  // ZN_SHELL_KXDATACONVERSIONPROMPT_H_
