#pragma once
// The administration listener's server certificate: certificate and private
// key in one PEM file. A missing file is created with a new self-signed
// certificate (EC P-256, ten years, names localhost, 127.0.0.1 and the host
// name), mode 0600. Immutable once loaded; shared between the start
// sequence and the listener.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace brivane::service {

class ServerCertificate {
 public:
  // Loads the file, or creates it when it does not exist. Null with a
  // reason in *error when the file cannot be read, holds no usable pair, or
  // cannot be created.
  static std::shared_ptr<const ServerCertificate> LoadOrCreate(const std::string& path,
                                                               std::string* error);

  X509* Cert() const { return cert_.get(); }
  EVP_PKEY* Key() const { return key_.get(); }
  // SHA-256 of the certificate, hex; tells a changed file from the same one.
  const std::string& Fingerprint() const { return fingerprint_; }
  bool Created() const { return created_; }

 private:
  std::unique_ptr<X509, decltype(&X509_free)> cert_{nullptr, X509_free};
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_{nullptr, EVP_PKEY_free};
  std::string fingerprint_;
  bool created_ = false;
};

}  // namespace brivane::service
