// TLS on Windows through the platform's own implementation, SChannel, by
// way of SSPI: the handshake with InitializeSecurityContext, records with
// EncryptMessage and DecryptMessage. The host's certificate is checked here
// rather than by SChannel: its chain must end at a certificate of the CA
// file (or a root the system trusts), be valid now, and name the host
// dialled. This build is a client only.
// These headers need one another in this order.
// clang-format off
#define SECURITY_WIN32
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <ws2tcpip.h>
#include <security.h>
#include <schannel.h>
// clang-format on

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "pgm/tls.h"

namespace zvt::tls {

class ClientContext {
 public:
  ~ClientContext() {
    if (trusted != nullptr) CertCloseStore(trusted, 0);
  }
  HCERTSTORE trusted = nullptr;  // the CA file's certificates; null: the system's roots
};
class ServerContext {};

namespace {

std::string Hex(unsigned long code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", code);
  return text;
}

std::string Describe(SECURITY_STATUS status) {
  switch (status) {
    case SEC_E_ILLEGAL_MESSAGE:
      return "the host did not answer in TLS, or broke off the handshake (" + Hex(status) + ")";
    case SEC_E_ALGORITHM_MISMATCH:
      return "no TLS version or cipher in common with the host (" + Hex(status) + ")";
    case SEC_E_DECRYPT_FAILURE:
    case SEC_E_MESSAGE_ALTERED:
      return "a TLS record from the host was altered (" + Hex(status) + ")";
    case SEC_I_INCOMPLETE_CREDENTIALS:
      return "the host asked for a client certificate";
    default:
      return "SChannel error " + Hex(status);
  }
}

std::wstring Wide(const std::string& text) {
  std::wstring out;
  for (char c : text) out.push_back(static_cast<unsigned char>(c));
  return out;
}

// Whether `host` is an IP address, and its bytes.
bool AddressBytes(const std::string& host, std::string* bytes) {
  in_addr v4;
  in6_addr v6;
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    bytes->assign(reinterpret_cast<const char*>(&v4), 4);
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    bytes->assign(reinterpret_cast<const char*>(&v6), 16);
    return true;
  }
  return false;
}

// Whether the certificate names the address among its alternative names.
bool NamesAddress(PCCERT_CONTEXT cert, const std::string& address) {
  PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                          cert->pCertInfo->rgExtension);
  if (ext == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                           ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
    found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == address.size() &&
            std::memcmp(e.IPAddress.pbData, address.data(), address.size()) == 0;
  }
  LocalFree(names);
  return found;
}

// One TLS session over a socket it owns.
class TlsStream : public sockets::Stream {
 public:
  explicit TlsStream(sockets::Handle s) : s_(s) {}
  ~TlsStream() override {
    if (have_context_) DeleteSecurityContext(&context_);
    if (have_credentials_) FreeCredentialsHandle(&credentials_);
    sockets::Close(s_);
  }
  sockets::Handle handle() const override { return s_; }

  bool Handshake(ClientContext* trust, const std::string& host, int timeout_ms,
                 std::string* error) {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    timeout_ms_ = timeout_ms;
    SCHANNEL_CRED settings = {};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    // The versions the system allows; the host accepts TLS 1.2 and later.
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &settings, nullptr, nullptr, &credentials_, nullptr);
    if (status != SEC_E_OK) {
      *error = "cannot start TLS: " + Describe(status);
      return false;
    }
    have_credentials_ = true;
    std::wstring target = Wide(host);
    const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                         ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
    for (bool first = true;; first = false) {
      SecBuffer in[2] = {{static_cast<unsigned long>(in_.size()), SECBUFFER_TOKEN, in_.data()},
                         {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in};
      SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, &out};
      unsigned long got = 0;
      status = InitializeSecurityContextW(&credentials_, first ? nullptr : &context_, target.data(),
                                          wanted, 0, 0, first ? nullptr : &in_desc, 0,
                                          first ? &context_ : nullptr, &out_desc, &got, nullptr);
      if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) have_context_ = true;
      if (out.pvBuffer != nullptr) {
        std::string token(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
        FreeContextBuffer(out.pvBuffer);
        if (!SendAll(token, error)) return false;
      }
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        if (!ReceiveMore(error)) return false;
        continue;
      }
      if (!first)
        in_ = in[1].BufferType == SECBUFFER_EXTRA ? in_.substr(in_.size() - in[1].cbBuffer) : "";
      if (status == SEC_E_OK) break;
      if (status != SEC_I_CONTINUE_NEEDED) {
        *error = "TLS handshake failed: " + Describe(status);
        return false;
      }
      if (in_.empty() && !ReceiveMore(error)) return false;
    }
    status = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (status != SEC_E_OK) {
      *error = "TLS: " + Describe(status);
      return false;
    }
    return Verify(trust, host, error);
  }

  long Receive(char* out, size_t n, sockets::Ready* wait, std::string* error) override {
    *wait = sockets::Ready::kRead;
    for (;;) {
      if (plain_at_ < plain_.size()) {
        size_t k = std::min(n, plain_.size() - plain_at_);
        std::memcpy(out, plain_.data() + plain_at_, k);
        plain_at_ += k;
        return static_cast<long>(k);
      }
      if (closed_) return sockets::kClosed;
      if (!in_.empty()) {
        SecBuffer b[4] = {{static_cast<unsigned long>(in_.size()), SECBUFFER_DATA, in_.data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
        SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
        if (status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) {
          std::string data, extra;
          for (const SecBuffer& x : b) {
            if (x.BufferType == SECBUFFER_DATA)
              data.append(static_cast<const char*>(x.pvBuffer), x.cbBuffer);
            if (x.BufferType == SECBUFFER_EXTRA)
              extra.assign(static_cast<const char*>(x.pvBuffer), x.cbBuffer);
          }
          in_ = std::move(extra);
          plain_ = std::move(data);
          plain_at_ = 0;
          closed_ = status == SEC_I_CONTEXT_EXPIRED;  // the host's close notice
          continue;
        }
        if (status != SEC_E_INCOMPLETE_MESSAGE) {
          *error = status == SEC_I_RENEGOTIATE ? "TLS: the host asked to renegotiate"
                                               : "TLS: " + Describe(status);
          return sockets::kFailed;
        }
      }
      char buffer[32768];
      long r = sockets::Receive(s_, buffer, sizeof buffer, error);
      if (r > 0) {
        in_.append(buffer, static_cast<size_t>(r));
        continue;
      }
      if (r == sockets::kClosed && !in_.empty()) {
        *error = "TLS: the connection ended inside a record";
        return sockets::kFailed;
      }
      return r;
    }
  }

  // A record is made of the first bytes and sent whole before they count
  // as taken; the caller retries with the same bytes until then.
  long Send(const char* data, size_t n, sockets::Ready* wait, std::string* error) override {
    *wait = sockets::Ready::kWrite;
    if (pending_.empty()) {
      const size_t k = std::min<size_t>(n, sizes_.cbMaximumMessage);
      pending_.assign(sizes_.cbHeader + k + sizes_.cbTrailer, '\0');
      std::memcpy(&pending_[sizes_.cbHeader], data, k);
      SecBuffer b[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, &pending_[0]},
          {static_cast<unsigned long>(k), SECBUFFER_DATA, &pending_[sizes_.cbHeader]},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, &pending_[sizes_.cbHeader + k]},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
      SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
      if (status != SEC_E_OK) {
        pending_.clear();
        *error = "TLS: " + Describe(status);
        return sockets::kFailed;
      }
      pending_.resize(b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer);
      pending_at_ = 0;
      pending_plain_ = k;
    }
    while (pending_at_ < pending_.size()) {
      long w =
          sockets::Send(s_, pending_.data() + pending_at_, pending_.size() - pending_at_, error);
      if (w <= 0) return w;
      pending_at_ += static_cast<size_t>(w);
    }
    pending_.clear();
    return static_cast<long>(pending_plain_);
  }

 private:
  int LeftMs() const {
    if (timeout_ms_ <= 0) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline_ - std::chrono::steady_clock::now())
                    .count();
    return left > 0 ? static_cast<int>(left) : 0;
  }
  bool Wait(sockets::Ready what, std::string* error) {
    int left = LeftMs();
    int ready = left == 0 ? 0 : sockets::WaitFor(s_, what, left, error);
    if (ready == 0) *error = "timed out";
    return ready > 0;
  }
  bool SendAll(const std::string& bytes, std::string* error) {
    for (size_t at = 0; at < bytes.size();) {
      long w = sockets::Send(s_, bytes.data() + at, bytes.size() - at, error);
      if (w > 0) {
        at += static_cast<size_t>(w);
      } else if (w == sockets::kFailed || !Wait(sockets::Ready::kWrite, error)) {
        return false;
      }
    }
    return true;
  }
  bool ReceiveMore(std::string* error) {
    for (;;) {
      char buffer[16384];
      long r = sockets::Receive(s_, buffer, sizeof buffer, error);
      if (r > 0) {
        in_.append(buffer, static_cast<size_t>(r));
        return true;
      }
      if (r == sockets::kClosed) {
        *error = "the host closed the connection during the TLS handshake";
        return false;
      }
      if (r == sockets::kFailed || !Wait(sockets::Ready::kRead, error)) return false;
    }
  }

  // The host's certificate: a chain to the trusted certificates, valid
  // now, for the name or address dialled.
  bool Verify(ClientContext* trust, const std::string& host, std::string* error) {
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
        cert == nullptr) {
      *error = "the host presented no certificate";
      return false;
    }
    auto refuse = [&](const std::string& why) {
      *error = "the host's certificate was not accepted: " + why;
      return false;
    };
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    bool ok = CertGetCertificateChain(nullptr, cert, nullptr,
                                      trust->trusted != nullptr ? trust->trusted : cert->hCertStore,
                                      &para, 0, nullptr, &chain);
    std::string why;
    if (!ok || chain == nullptr || chain->cChain == 0) {
      why = "no certificate chain could be built";
    } else {
      DWORD errors = chain->TrustStatus.dwErrorStatus;
      const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
      PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
      if (trust->trusted != nullptr) {
        // A root of the CA file is trusted here, whatever the system's store says.
        if (CertFindCertificateInStore(trust->trusted, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                       root, nullptr) != nullptr) {
          errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
        } else {
          errors |= CERT_TRUST_IS_UNTRUSTED_ROOT;
        }
      }
      errors &= ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                    CERT_TRUST_IS_OFFLINE_REVOCATION);
      if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
        why = "certificate has expired or is not yet valid";
      } else if (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) {
        why = "it does not chain to a trusted certificate (self-signed, or another CA)";
      } else if (errors != 0) {
        why = "chain status " + Hex(errors);
      }
    }
    if (why.empty()) {
      std::string address;
      if (AddressBytes(host, &address)) {
        if (!NamesAddress(cert, address)) why = "IP address mismatch";
      } else {
        std::wstring name = Wide(host);
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra = {};
        extra.cbSize = sizeof extra;
        extra.dwAuthType = AUTHTYPE_SERVER;
        extra.fdwChecks = 0x00000100;  // the root was checked above: ignore an unknown CA
        extra.pwszServerName = name.data();
        CERT_CHAIN_POLICY_PARA policy = {};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &extra;
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof status;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
          why = "the name could not be checked";
        else if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
          why = "hostname mismatch";
        else if (status.dwError != 0 && status.dwError != static_cast<DWORD>(CERT_E_UNTRUSTEDROOT))
          why = "policy status " + Hex(status.dwError);
      }
    }
    if (chain != nullptr) CertFreeCertificateChain(chain);
    CertFreeCertificateContext(cert);
    return why.empty() ? true : refuse(why);
  }

  sockets::Handle s_;
  CredHandle credentials_ = {};
  CtxtHandle context_ = {};
  bool have_credentials_ = false;
  bool have_context_ = false;
  SecPkgContext_StreamSizes sizes_ = {};
  std::string in_;  // bytes received and not yet decrypted
  std::string plain_;
  size_t plain_at_ = 0;
  bool closed_ = false;
  std::string pending_;  // the record being sent
  size_t pending_at_ = 0;
  size_t pending_plain_ = 0;
  std::chrono::steady_clock::time_point deadline_;
  int timeout_ms_ = 0;
};

}  // namespace

bool Available() { return true; }

std::shared_ptr<ClientContext> LoadClientContext(const std::string& ca_file, std::string* error) {
  auto context = std::make_shared<ClientContext>();
  if (ca_file.empty()) return context;
  std::ifstream in(ca_file, std::ios::binary);
  if (!in) {
    *error = "cannot read the CA file " + ca_file;
    return nullptr;
  }
  std::stringstream text;
  text << in.rdbuf();
  const std::string pem = text.str();
  context->trusted = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  int added = 0;
  static constexpr char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static constexpr char kEnd[] = "-----END CERTIFICATE-----";
  for (size_t at = pem.find(kBegin); at != std::string::npos; at = pem.find(kBegin, at + 1)) {
    size_t end = pem.find(kEnd, at);
    if (end == std::string::npos) break;
    end += sizeof kEnd - 1;
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.data() + at, static_cast<DWORD>(end - at),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
      continue;
    std::vector<BYTE> der(size);
    if (CryptStringToBinaryA(pem.data() + at, static_cast<DWORD>(end - at),
                             CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(context->trusted, X509_ASN_ENCODING, der.data(), size,
                                         CERT_STORE_ADD_ALWAYS, nullptr))
      ++added;
  }
  if (added == 0) {
    *error = "the CA file " + ca_file + " holds no usable certificate";
    return nullptr;
  }
  return context;
}

std::unique_ptr<sockets::Stream> Connect(ClientContext* context, sockets::Handle s,
                                         const std::string& host, int timeout_ms,
                                         std::string* error) {
  auto session = std::make_unique<TlsStream>(s);
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  if (!session->Handshake(context, name, timeout_ms, error)) return nullptr;
  return session;
}

std::shared_ptr<ServerContext> LoadServerContext(const std::string&, const std::string&,
                                                 std::string* error) {
  *error = "this build serves no TLS";
  return nullptr;
}

std::unique_ptr<sockets::Stream> Accept(std::shared_ptr<ServerContext>, sockets::Handle s) {
  sockets::Close(s);
  return nullptr;
}

}  // namespace zvt::tls
