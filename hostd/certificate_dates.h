// When a PEM certificate stops being valid, for the readiness check and the
// expiry metric.
#ifndef ZVT_HOSTD_CERTIFICATE_DATES_H_
#define ZVT_HOSTD_CERTIFICATE_DATES_H_

#include <cstdint>
#include <string>

namespace zvt::hostd {

// The end of the validity of the first certificate in `pem_file` (the
// server's own, before its chain), in Unix time.
bool CertificateNotAfter(const std::string& pem_file, int64_t* unix_seconds, std::string* error);

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_CERTIFICATE_DATES_H_
