// KXState holds the state of the main window that other parts of the
// program ask about: the file id of the entry open in the main page. The
// shell sets it when the page opens an entry and clears it when none is
// open.
//
// Thread safety: every member may be called from any thread; the file id
// is guarded by mu_.
#ifndef ZN_SHELL_KXSTATE_H_
#define ZN_SHELL_KXSTATE_H_

#include <optional>
#include <string>

#include "platform/Mutex.h"

class KXState {
 public:
  // The main window's state, made on the first call and never freed.
  static KXState& currentState();

  KXState() = default;
  KXState(const KXState&) = delete;
  KXState& operator=(const KXState&) = delete;

  // The entry open in the main page, or nullopt.
  std::optional<std::string> currentFileId() const;
  void setCurrentFileId(std::optional<std::string> fileId);

 private:
  mutable kx::Mutex mu_;
  std::optional<std::string> currentFileId_ GUARDED_BY(mu_);
};

#endif  // ZN_SHELL_KXSTATE_H_
