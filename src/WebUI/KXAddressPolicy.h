// KXAddressPolicy says which network addresses the web view's traffic may
// reach through the front when it leaves the machine: tunnels (CONNECT) and
// fetched outside images. Refused are this machine and the networks around
// it: unspecified, loopback, private (10/8, 172.16/12, 192.168/16), shared
// (100.64/10), link-local, multicast, broadcast, IPv6 unique-local and
// site-local, and IPv4-mapped IPv6 forms of any of these.
//
// The check belongs on the address actually connected to (after the name was
// resolved), so that a name that resolves to an outside address at one look
// and to 127.0.0.1 at the next (DNS rebinding) gains nothing.
//
// Thread safety: pure functions.
#ifndef ZN_WEBUI_KXADDRESSPOLICY_H_
#define ZN_WEBUI_KXADDRESSPOLICY_H_

#include <sys/socket.h>

#include <boost/asio/ip/address.hpp>

// Whether `address` may be reached.
bool KXIsPublicAddress(const boost::asio::ip::address& address);
// The same for a socket address of family AF_INET or AF_INET6; false for any
// other family or a length too short for its family.
bool KXIsPublicSocketAddress(const sockaddr* address, socklen_t length);

#endif  // ZN_WEBUI_KXADDRESSPOLICY_H_
