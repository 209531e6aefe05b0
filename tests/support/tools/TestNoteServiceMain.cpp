// zn_test_note_service: runs the test note service by hand, for trying the
// client against it.
//
//   zn_test_note_service [--host NAME] [--ca FILE]
//
// Prints the port and the libcurl-style mapping, writes the run's
// certificate authority to FILE (default: ./zn-test-ca.pem), and serves until
// interrupted (Ctrl-C) or terminated.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "support/TestNoteService.h"

int main(int argc, char** argv) {
  std::string host = "note.zarvel.com";
  std::string caPath = "zn-test-ca.pem";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--host") == 0) {
      host = argv[i + 1];
    } else if (std::strcmp(argv[i], "--ca") == 0) {
      caPath = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--host NAME] [--ca FILE]\n", argv[0]);
      return 2;
    }
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  // Blocked before the service's threads start, so that they inherit it.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  kxtest::TestNoteService service(host);
  kx::Error error;
  if (!service.start(&error)) {
    std::fprintf(stderr, "cannot start: %s\n", error.localizedDescription().c_str());
    return 1;
  }
  std::ofstream(caPath) << kxtest::TestNoteService::authorityPEM();
  std::printf("serving https://%s on 127.0.0.1:%u\n", host.c_str(), service.port());
  std::printf("certificate authority: %s\n", caPath.c_str());
  std::printf("try: curl --cacert %s --connect-to %s::127.0.0.1:%u https://%s/test/echo\n",
              caPath.c_str(), host.c_str(), service.port(), host.c_str());
  std::fflush(stdout);
  int received = 0;
  sigwait(&signals, &received);
  service.stop();
  std::printf("served %zu requests\n", service.requests().size());
  return 0;
}
