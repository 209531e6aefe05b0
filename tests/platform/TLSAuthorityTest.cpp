#include "platform/TLSAuthority.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

X509* readCertificate(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return cert;
}

// Verifies `leaf` against `ca` alone; returns the OpenSSL verdict.
int verify(const std::string& caPEM, const std::string& leafPEM) {
  X509* ca = readCertificate(caPEM);
  X509* leaf = readCertificate(leafPEM);
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, ca);
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, store, leaf, nullptr);
  X509_STORE_CTX_set_purpose(ctx, X509_PURPOSE_SSL_SERVER);
  int result = X509_verify_cert(ctx) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(ctx);
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(store);
  X509_free(leaf);
  X509_free(ca);
  return result;
}

TEST(TLSAuthorityTest, IssuesLeavesThatVerifyAgainstItsOwnCertificateOnly) {
  kx::Error error;
  auto ca = kx::TLSAuthority::create("Test CA", 1, &error);
  ASSERT_TRUE(ca) << error.localizedDescription();
  auto other = kx::TLSAuthority::create("Other CA", 1, &error);
  ASSERT_TRUE(other);

  kx::TLSIdentity leaf = ca->issue({"note.example", "127.0.0.1", "::1"}, &error);
  ASSERT_FALSE(leaf.certificatePEM.empty()) << error.localizedDescription();
  ASSERT_NE(leaf.privateKeyPEM.find("PRIVATE KEY"), std::string::npos);
  EXPECT_EQ(verify(ca->certificatePEM(), leaf.certificatePEM), X509_V_OK);
  EXPECT_NE(verify(other->certificatePEM(), leaf.certificatePEM), X509_V_OK);
  // The leaf cannot sign: a certificate "issued" by it is refused.
  EXPECT_NE(verify(leaf.certificatePEM, leaf.certificatePEM), X509_V_OK);

  X509* cert = readCertificate(leaf.certificatePEM);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(X509_check_host(cert, "note.example", 0, 0, nullptr), 1);
  EXPECT_NE(X509_check_host(cert, "other.example", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_ip_asc(cert, "127.0.0.1", 0), 1);
  EXPECT_EQ(X509_check_ip_asc(cert, "::1", 0), 1);
  X509_free(cert);

  // The key belongs to the certificate.
  BIO* bio =
      BIO_new_mem_buf(leaf.privateKeyPEM.data(), static_cast<int>(leaf.privateKeyPEM.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  X509* again = readCertificate(leaf.certificatePEM);
  EXPECT_EQ(X509_check_private_key(again, key), 1);
  X509_free(again);
  EVP_PKEY_free(key);
}

TEST(TLSAuthorityTest, RefusesToIssueForNoHost) {
  kx::Error error;
  auto ca = kx::TLSAuthority::create("Test CA", 1, &error);
  ASSERT_TRUE(ca);
  kx::TLSIdentity leaf = ca->issue({}, &error);
  EXPECT_TRUE(leaf.certificatePEM.empty());
  EXPECT_TRUE(error);
}

}  // namespace
