#include "WebUI/KXAddressPolicy.h"

#include <netinet/in.h>

#include <array>
#include <cstring>

namespace net = boost::asio;

bool KXIsPublicAddress(const net::ip::address& address) {
  if (address.is_v6()) {
    const net::ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped())
      return KXIsPublicAddress(net::ip::make_address_v4(net::ip::v4_mapped, v6));
    const auto b = v6.to_bytes();
    return !(v6.is_unspecified() || v6.is_loopback() || v6.is_link_local() || v6.is_multicast() ||
             v6.is_site_local() || (b[0] & 0xfe) == 0xfc);  // fc00::/7, unique local
  }
  const std::uint32_t a = address.to_v4().to_uint();
  auto in = [a](std::uint32_t net, int bits) { return (a >> (32 - bits)) == (net >> (32 - bits)); };
  return !(in(0x00000000, 8) ||   // 0.0.0.0/8
           in(0x0a000000, 8) ||   // 10/8
           in(0x7f000000, 8) ||   // 127/8
           in(0x64400000, 10) ||  // 100.64/10, shared address space
           in(0xa9fe0000, 16) ||  // 169.254/16, link-local
           in(0xac100000, 12) ||  // 172.16/12
           in(0xc0a80000, 16) ||  // 192.168/16
           in(0xe0000000, 4) ||   // multicast
           a == 0xffffffff);
}

bool KXIsPublicSocketAddress(const sockaddr* address, socklen_t length) {
  if (!address) return false;
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in in4;
    std::memcpy(&in4, address, sizeof in4);
    return KXIsPublicAddress(net::ip::address_v4(ntohl(in4.sin_addr.s_addr)));
  }
  if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 in6;
    std::memcpy(&in6, address, sizeof in6);
    net::ip::address_v6::bytes_type bytes;
    std::memcpy(bytes.data(), &in6.sin6_addr, bytes.size());
    return KXIsPublicAddress(net::ip::address_v6(bytes, in6.sin6_scope_id));
  }
  return false;
}
