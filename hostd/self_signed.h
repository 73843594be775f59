// Self-signed certificates for a host server that has none from a CA: for
// tests, the demo and a first installation. The certificate is its own
// trust anchor; clients are given it as their CA file.
#ifndef ZVT_HOSTD_SELF_SIGNED_H_
#define ZVT_HOSTD_SELF_SIGNED_H_

#include <cstdint>
#include <string>
#include <vector>

namespace zvt::hostd {

struct CertificateRequest {
  // The DNS names and IP addresses the certificate is valid for; the first
  // is also its common name.
  std::vector<std::string> names = {"localhost", "127.0.0.1", "::1"};
  // Validity from now + `valid_from_s` for `valid_for_s` seconds (a window
  // in the past makes an expired certificate).
  int64_t valid_from_s = -60;
  int64_t valid_for_s = int64_t{825} * 24 * 3600;
};

// A new P-256 key and a certificate for it signed by itself, both PEM.
bool MakeSelfSigned(const CertificateRequest& request, std::string* certificate_pem,
                    std::string* key_pem, std::string* error);

// Writes the pair: the key readable by its owner alone, the certificate by
// all. Refuses to replace existing files unless `replace`.
bool WriteSelfSigned(const CertificateRequest& request, const std::string& certificate_file,
                     const std::string& key_file, bool replace, std::string* error);

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_SELF_SIGNED_H_
