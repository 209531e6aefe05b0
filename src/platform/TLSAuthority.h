// kx::TLSAuthority is a certificate authority made on the spot: a new EC
// P-256 key and a self-signed CA certificate, which then issues leaf
// certificates for host names. Whoever must trust the hosts trusts
// certificatePEM(). The loopback front makes one per launch, and the test
// note service one per test run.
//
// Keys live only in memory; nothing is written to disk.
//
// Thread safety: an authority is immutable after create(); issue() may be
// called from any thread.
#ifndef ZN_PLATFORM_TLSAUTHORITY_H_
#define ZN_PLATFORM_TLSAUTHORITY_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace kx {

// A certificate and its private key, both PEM.
struct TLSIdentity {
  std::string certificatePEM;
  std::string privateKeyPEM;
};

class TLSAuthority {
 public:
  // Makes a new authority named `commonName`, valid from an hour ago for
  // `days` days. Returns nullptr with *error filled when OpenSSL fails.
  static std::unique_ptr<TLSAuthority> create(const std::string& commonName, int days,
                                              Error* error);

  ~TLSAuthority();
  TLSAuthority(const TLSAuthority&) = delete;
  TLSAuthority& operator=(const TLSAuthority&) = delete;

  // The authority's own certificate, PEM.
  const std::string& certificatePEM() const { return identity_.certificatePEM; }

  // Issues a server certificate for `hosts` (the first is the common name;
  // IPv4 and IPv6 literals become IP subject names, the rest DNS names),
  // signed by this authority and valid as long as it. Fills *error and
  // returns an empty identity when OpenSSL fails or `hosts` is empty.
  TLSIdentity issue(const std::vector<std::string>& hosts, Error* error) const;

 private:
  struct Keys;
  TLSAuthority();

  TLSIdentity identity_;
  std::unique_ptr<Keys> keys_;
  int days_ = 0;
};

}  // namespace kx

#endif  // ZN_PLATFORM_TLSAUTHORITY_H_
