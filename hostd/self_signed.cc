// Making a self-signed certificate with OpenSSL.
#include "hostd/self_signed.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace zvt::hostd {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

std::string OpenSslError() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  char text[256] = "unknown error";
  if (e != 0) ERR_error_string_n(e, text, sizeof text);
  return text;
}

bool IsAddress(const std::string& name) {
  unsigned char raw[16];
  return inet_pton(AF_INET, name.c_str(), raw) == 1 || inet_pton(AF_INET6, name.c_str(), raw) == 1;
}

bool AddExtension(X509* x, X509V3_CTX* ctx, int nid, const std::string& value) {
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str()));
  return ext && X509_add_ext(x, ext.get(), -1) == 1;
}

std::string Pem(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

// Writes `text` to a new file of mode `mode` (or over an old one when `replace`).
bool WriteFile(const std::string& path, const std::string& text, mode_t mode, bool replace,
               std::string* error) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
  int fd = open(path.c_str(), flags, mode);
  bool ok = fd >= 0 && fchmod(fd, mode) == 0 &&
            write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (!ok) {
    *error = "cannot write " + path + ": " + std::strerror(errno) +
             (errno == EEXIST ? " (give --replace to replace it)" : "");
    if (fd >= 0) unlink(path.c_str());
  }
  return ok;
}

}  // namespace

bool MakeSelfSigned(const CertificateRequest& request, std::string* certificate_pem,
                    std::string* key_pem, std::string* error) {
  if (request.names.empty() || request.names[0].empty()) {
    *error = "a certificate needs at least one name";
    return false;
  }
  ERR_clear_error();
  KeyPtr key(EVP_EC_gen("P-256"));
  CertPtr x(X509_new());
  BnPtr serial(BN_new());
  if (!key || !x || !serial || X509_set_version(x.get(), 2) != 1 ||
      BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x.get())) == nullptr ||
      X509_gmtime_adj(X509_getm_notBefore(x.get()), request.valid_from_s) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(x.get()), request.valid_from_s + request.valid_for_s) ==
          nullptr ||
      X509_set_pubkey(x.get(), key.get()) != 1) {
    *error = "cannot make a key and certificate: " + OpenSslError();
    return false;
  }
  X509_NAME* subject = X509_get_subject_name(x.get());
  const std::string& common = request.names[0];
  std::string alternatives;
  for (const std::string& n : request.names)
    alternatives +=
        (alternatives.empty() ? "" : ",") + std::string(IsAddress(n) ? "IP:" : "DNS:") + n;
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
  if (X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(common.c_str()), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(x.get(), subject) != 1 ||
      !AddExtension(x.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") ||
      !AddExtension(x.get(), &ctx, NID_key_usage, "critical,digitalSignature,keyCertSign") ||
      !AddExtension(x.get(), &ctx, NID_ext_key_usage, "serverAuth") ||
      !AddExtension(x.get(), &ctx, NID_subject_key_identifier, "hash") ||
      !AddExtension(x.get(), &ctx, NID_subject_alt_name, alternatives) ||
      X509_sign(x.get(), key.get(), EVP_sha256()) == 0) {
    *error = "cannot make a certificate for " + alternatives + ": " + OpenSslError();
    return false;
  }
  BioPtr cert_bio(BIO_new(BIO_s_mem())), key_bio(BIO_new(BIO_s_mem()));
  if (!cert_bio || !key_bio || PEM_write_bio_X509(cert_bio.get(), x.get()) != 1 ||
      PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1) {
    *error = "cannot write the certificate: " + OpenSslError();
    return false;
  }
  *certificate_pem = Pem(cert_bio.get());
  *key_pem = Pem(key_bio.get());
  return true;
}

bool WriteSelfSigned(const CertificateRequest& request, const std::string& certificate_file,
                     const std::string& key_file, bool replace, std::string* error) {
  std::string certificate, key;
  if (!MakeSelfSigned(request, &certificate, &key, error)) return false;
  if (!WriteFile(key_file, key, 0600, replace, error)) return false;
  if (!WriteFile(certificate_file, certificate, 0644, replace, error)) {
    unlink(key_file.c_str());
    return false;
  }
  return true;
}

}  // namespace zvt::hostd
