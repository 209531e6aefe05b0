#include "CommonUtils/KXConsoleErrorPresenter.h"

#include <string>

#include "CommonUtils/KXLogger.h"

void KXConsoleErrorPresenter::presentError(const kx::Error& error) {
  const std::string text = error.localizedDescription();
  KXLOG("presented error: %s", text.c_str());
  const std::string line = "zarvelnote: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stream_);
  std::fflush(stream_);
}
