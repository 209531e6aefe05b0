#include "platform/QueueCheck.h"

#include <cstdio>
#include <cstdlib>

namespace kx {

void queueCheckFailed(const char* file, int line, const Queue& queue, bool expectedOn,
                      const char* rule) {
  std::string current = Queue::currentLabel();
  std::fprintf(stderr,
               "kx: queue check failed at %s:%d: %s (expected %s \"%s\"; running on \"%s\")\n",
               file, line, rule, expectedOn ? "on" : "not on", queue.label().c_str(),
               current.empty() ? "no queue" : current.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace kx
