// A certificate's end of validity, read with OpenSSL.

#include "hostd/certificate_dates.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>

namespace zvt::hostd {

bool CertificateNotAfter(const std::string& pem_file, int64_t* unix_seconds, std::string* error) {
  std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(pem_file.c_str(), "r"), BIO_free);
  if (!in) {
    *error = "cannot read " + pem_file;
    return false;
  }
  std::unique_ptr<X509, decltype(&X509_free)> certificate(
      PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr), X509_free);
  struct tm when {};
  if (!certificate || ASN1_TIME_to_tm(X509_get0_notAfter(certificate.get()), &when) != 1) {
    *error = pem_file + " holds no certificate that can be read";
    return false;
  }
  *unix_seconds = static_cast<int64_t>(timegm(&when));
  return true;
}

}  // namespace zvt::hostd
