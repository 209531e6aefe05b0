#include "platform/TLSAuthority.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace kx {

namespace {

const char* kDomain = "kx.TLSAuthority";

Error openSSLError(const std::string& what) {
  unsigned long code = ERR_get_error();
  char buffer[256] = {0};
  if (code) ERR_error_string_n(code, buffer, sizeof(buffer));
  ERR_clear_error();
  return Error::make(kDomain, static_cast<std::int64_t>(code),
                     what + (code ? std::string(": ") + buffer : ""));
}

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertDeleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using CertPtr = std::unique_ptr<X509, CertDeleter>;

KeyPtr newKey() { return KeyPtr(EVP_EC_gen("P-256")); }

bool setSerial(X509* cert) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) return false;
  bytes[0] &= 0x7f;  // positive
  BIGNUM* bn = BN_bin2bn(bytes, sizeof(bytes), nullptr);
  if (!bn) return false;
  bool ok = BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
  BN_free(bn);
  return ok;
}

bool addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

std::string certPEM(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  std::string out;
  if (PEM_write_bio_X509(bio, cert) == 1) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    out.assign(data, static_cast<std::size_t>(n));
  }
  BIO_free(bio);
  return out;
}

std::string keyPEM(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  std::string out;
  if (PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    out.assign(data, static_cast<std::size_t>(n));
  }
  BIO_free(bio);
  return out;
}

// A certificate with subject CN, validity, public key and serial set.
CertPtr newCertificate(const std::string& commonName, EVP_PKEY* key, int days) {
  CertPtr cert(X509_new());
  if (!cert) return nullptr;
  if (X509_set_version(cert.get(), 2) != 1 || !setSerial(cert.get())) return nullptr;
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(days) * 24 * 3600);
  if (X509_set_pubkey(cert.get(), key) != 1) return nullptr;
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                 0) != 1) {
    return nullptr;
  }
  return cert;
}

bool isIPLiteral(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

struct TLSAuthority::Keys {
  KeyPtr key;
  CertPtr cert;
};

TLSAuthority::TLSAuthority() : keys_(std::make_unique<Keys>()) {}
TLSAuthority::~TLSAuthority() = default;

std::unique_ptr<TLSAuthority> TLSAuthority::create(const std::string& commonName, int days,
                                                   Error* error) {
  std::unique_ptr<TLSAuthority> authority(new TLSAuthority());
  authority->days_ = days;
  KeyPtr key = newKey();
  if (!key) {
    SetError(error, openSSLError("cannot make the authority's key"));
    return nullptr;
  }
  CertPtr cert = newCertificate(commonName, key.get(), days);
  bool ok =
      cert && X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())) == 1 &&
      addExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
      addExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
      addExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash") &&
      X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  if (!ok) {
    SetError(error, openSSLError("cannot make the authority's certificate"));
    return nullptr;
  }
  authority->identity_.certificatePEM = certPEM(cert.get());
  authority->identity_.privateKeyPEM = keyPEM(key.get());
  authority->keys_->key = std::move(key);
  authority->keys_->cert = std::move(cert);
  return authority;
}

TLSIdentity TLSAuthority::issue(const std::vector<std::string>& hosts, Error* error) const {
  if (hosts.empty()) {
    SetError(error, Error::make(kDomain, 0, "no host to issue a certificate for"));
    return {};
  }
  KeyPtr key = newKey();
  if (!key) {
    SetError(error, openSSLError("cannot make the leaf key"));
    return {};
  }
  std::string names;
  for (const auto& host : hosts) {
    if (!names.empty()) names += ",";
    names += (isIPLiteral(host) ? "IP:" : "DNS:") + host;
  }
  CertPtr cert = newCertificate(hosts.front(), key.get(), days_);
  bool ok =
      cert && X509_set_issuer_name(cert.get(), X509_get_subject_name(keys_->cert.get())) == 1 &&
      addExtension(cert.get(), keys_->cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
      addExtension(cert.get(), keys_->cert.get(), NID_key_usage,
                   "critical,digitalSignature,keyEncipherment") &&
      addExtension(cert.get(), keys_->cert.get(), NID_ext_key_usage, "serverAuth") &&
      addExtension(cert.get(), keys_->cert.get(), NID_subject_alt_name, names) &&
      addExtension(cert.get(), keys_->cert.get(), NID_authority_key_identifier, "keyid:always") &&
      X509_sign(cert.get(), keys_->key.get(), EVP_sha256()) > 0;
  if (!ok) {
    SetError(error, openSSLError("cannot issue the leaf certificate"));
    return {};
  }
  return TLSIdentity{certPEM(cert.get()), keyPEM(key.get())};
}

}  // namespace kx
