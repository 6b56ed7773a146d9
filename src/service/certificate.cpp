#include "service/certificate.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace brivane::service {
namespace {

std::string OpenSslError() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

bool AddExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// Writes key and certificate into a new file that only the owner can read;
// O_EXCL so that a file created meanwhile by someone else is not clobbered.
bool CreateSelfSigned(const std::string& path, std::string* error) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!key || !cert) {
    *error = OpenSslError();
    return false;
  }
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_bin2bn(serial, sizeof serial, nullptr),
                                                 BN_free);
  const std::string host = HostName();
  X509_NAME* name = X509_get_subject_name(cert.get());
  bool ok =
      X509_set_version(cert.get(), 2) == 1 && bn &&
      BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())) &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) &&
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600) &&
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("quillark"), -1, -1,
                                 0) == 1 &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1,
                                 0) == 1 &&
      X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key.get()) == 1 &&
      AddExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,DNS:" + host) &&
      AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
      X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  if (!ok) {
    *error = OpenSslError();
    return false;
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  FILE* file = ::fdopen(fd, "w");
  if (!file) {
    ::close(fd);
    ::unlink(path.c_str());
    *error = "cannot create " + path;
    return false;
  }
  ok = PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
       PEM_write_X509(file, cert.get()) == 1 && std::fflush(file) == 0 && ::fsync(fd) == 0;
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    ::unlink(path.c_str());
    *error = "cannot write " + path;
  }
  return ok;
}

}  // namespace

std::shared_ptr<const ServerCertificate> ServerCertificate::LoadOrCreate(const std::string& path,
                                                                         std::string* error) {
  auto result = std::make_shared<ServerCertificate>();
  if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
    if (!CreateSelfSigned(path, error)) return nullptr;
    result->created_ = true;
  }
  FILE* file = std::fopen(path.c_str(), "r");
  if (!file) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  result->cert_.reset(PEM_read_X509(file, nullptr, nullptr, nullptr));
  std::rewind(file);
  ERR_clear_error();
  result->key_.reset(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
  std::fclose(file);
  if (!result->cert_ || !result->key_) {
    ERR_clear_error();
    *error = path + " does not hold a PEM certificate and private key";
    return nullptr;
  }
  if (X509_check_private_key(result->cert_.get(), result->key_.get()) != 1) {
    ERR_clear_error();
    *error = "the private key in " + path + " does not belong to its certificate";
    return nullptr;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  X509_digest(result->cert_.get(), EVP_sha256(), digest, &size);
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < size; ++i) {
    result->fingerprint_ += kHex[digest[i] >> 4];
    result->fingerprint_ += kHex[digest[i] & 15];
  }
  return result;
}

}  // namespace brivane::service
