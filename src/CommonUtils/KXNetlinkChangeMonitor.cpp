#include "CommonUtils/KXNetlinkChangeMonitor.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Queue.h"

KXNetlinkChangeMonitor::~KXNetlinkChangeMonitor() { stop(); }

bool KXNetlinkChangeMonitor::start(std::function<void()> onChange) {
  if (thread_.joinable()) return true;
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return false;
  sockaddr_nl address;
  std::memset(&address, 0, sizeof address);
  address.nl_family = AF_NETLINK;
  address.nl_groups =
      RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
  int pipeFds[2];
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    ::close(fd);
    return false;
  }
  socket_ = fd;
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  onChange_ = std::move(onChange);
  thread_ = std::thread([this] { run(); });
  return true;
}

void KXNetlinkChangeMonitor::stop() {
  if (!thread_.joinable()) return;
  char byte = 0;
  while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  ::close(socket_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
  socket_ = wakeRead_ = wakeWrite_ = -1;
}

void KXNetlinkChangeMonitor::run() {
  char buffer[8192];
  for (;;) {
    pollfd fds[2] = {{socket_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    int rc = ::poll(fds, 2, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
    if (fds[0].revents & POLLIN) {
      // Drain everything that is queued, then report once for the batch.
      while (::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
      }
      kx::Queue::invokeGuarded(onChange_, "KXNetlinkChangeMonitor");
    }
  }
}
