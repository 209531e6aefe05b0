#include "CommonUtils/KXRouteReachabilityProbe.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool KXRouteReachabilityProbe::isReachable(const std::string& host) {
  if (host.empty()) return false;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* addresses = nullptr;
  if (::getaddrinfo(host.c_str(), "443", &hints, &addresses) != 0 || !addresses) return false;
  bool reachable = false;
  for (addrinfo* a = addresses; a && !reachable; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int rc;
    do {
      rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    } while (rc != 0 && errno == EINTR);
    reachable = rc == 0;
    ::close(fd);
  }
  ::freeaddrinfo(addresses);
  return reachable;
}
