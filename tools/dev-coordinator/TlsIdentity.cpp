#include "TlsIdentity.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "Random.h"

namespace corvane::devcoordinator {

namespace {

struct Free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(X509* certificate) const { X509_free(certificate); }
  void operator()(BIO* bio) const { BIO_free(bio); }
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Certificate = std::unique_ptr<X509, Free>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("TLS set-up failed: ") + what);
}

Key newKey() {
  Key key(EVP_EC_gen("P-256"));
  check(key != nullptr, "key generation");
  return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, Free> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  check(extension != nullptr, "certificate extension");
  check(X509_add_ext(certificate, extension.get(), -1) == 1, "certificate extension");
}

Certificate newCertificate(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool authority) {
  Certificate certificate(X509_new());
  check(certificate != nullptr, "certificate");
  X509_set_version(certificate.get(), 2);
  // A random serial, so a client that caches anything never mixes two runs up.
  std::string serial = randomId();
  serial.erase(std::remove(serial.begin(), serial.end(), '-'), serial.end());
  BIGNUM* number = nullptr;
  check(BN_hex2bn(&number, serial.c_str()) > 0, "serial");
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 7L * 24 * 3600);
  X509_set_pubkey(certificate.get(), key);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Corvane development"), -1,
                             -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* signer = issuer ? issuer : certificate.get();
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer));
  if (authority) {
    addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    addExtension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(certificate.get(), signer, NID_subject_key_identifier, "hash");
  } else {
    addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExtension(certificate.get(), signer, NID_ext_key_usage, "serverAuth");
    addExtension(certificate.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost");
    addExtension(certificate.get(), signer, NID_authority_key_identifier, "keyid:always");
  }
  check(X509_sign(certificate.get(), issuerKey, EVP_sha256()) > 0, "signing");
  return certificate;
}

template <class Write>
std::string pem(Write write) {
  std::unique_ptr<BIO, Free> bio(BIO_new(BIO_s_mem()));
  check(bio && write(bio.get()) == 1, "PEM encoding");
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

}  // namespace

TlsIdentity TlsIdentity::generate() {
  Key caKey = newKey();
  Certificate ca = newCertificate("Corvane development authority", caKey.get(), nullptr, caKey.get(), true);
  Key serverKey = newKey();
  Certificate server = newCertificate("localhost", serverKey.get(), ca.get(), caKey.get(), false);
  TlsIdentity identity;
  identity.caPem_ = pem([&](BIO* bio) { return PEM_write_bio_X509(bio, ca.get()); });
  identity.certificatePem_ = pem([&](BIO* bio) { return PEM_write_bio_X509(bio, server.get()); });
  identity.keyPem_ = pem(
      [&](BIO* bio) { return PEM_write_bio_PrivateKey(bio, serverKey.get(), nullptr, nullptr, 0, nullptr, nullptr); });
  return identity;
}

void TlsIdentity::writeCa(const std::filesystem::path& path) const {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + temporary.string() + ": " + std::strerror(errno));
  size_t written = 0;
  while (written < caPem_.size()) {
    ssize_t n = ::write(fd, caPem_.data() + written, caPem_.size() - written);
    if (n <= 0) {
      ::close(fd);
      ::unlink(temporary.c_str());
      throw std::runtime_error("cannot write " + temporary.string());
    }
    written += static_cast<size_t>(n);
  }
  ::fsync(fd);
  ::close(fd);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
  }
}

std::shared_ptr<boost::asio::ssl::context> TlsIdentity::serverContext() const {
  auto context = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
  context->set_options(boost::asio::ssl::context::default_workarounds | boost::asio::ssl::context::no_sslv2 |
                       boost::asio::ssl::context::no_sslv3 | boost::asio::ssl::context::no_tlsv1 |
                       boost::asio::ssl::context::no_tlsv1_1);
  // The chain includes the authority so clients that trust it find the path.
  std::string chain = certificatePem_ + caPem_;
  context->use_certificate_chain(boost::asio::buffer(chain));
  context->use_private_key(boost::asio::buffer(keyPem_), boost::asio::ssl::context::pem);
  return context;
}

}  // namespace corvane::devcoordinator
