// kxtest::runE2EDriver starts an end-to-end driver script under node with
// the front's credentials file and the service host, and pumps the main queue
// until it exits (at most 240 s; a driver still running then is killed).
//
// Thread safety: call on the thread that runs the main queue.
#ifndef ZN_TESTS_SUPPORT_E2EDRIVER_H_
#define ZN_TESTS_SUPPORT_E2EDRIVER_H_

#include <string>

namespace kxtest {

struct E2EDriverResult {
  bool started = false;  // node could be started
  bool exited = false;   // it ended in time
  int status = 0;        // as waitpid gives it
};

E2EDriverResult runE2EDriver(const char* node, const char* script, const std::string& credentials,
                             const std::string& serviceHost);

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_E2EDRIVER_H_
