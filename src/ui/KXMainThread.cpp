#include "ui/KXMainThread.h"

#include <cstdio>
#include <cstdlib>

#include "platform/MainQueue.h"

namespace kxui {

void checkMainThread(const char* what) {
  if (kx::MainQueue::isMainThread()) return;
  std::fprintf(stderr, "interface call off the main thread: %s\n", what);
  std::abort();
}

}  // namespace kxui
