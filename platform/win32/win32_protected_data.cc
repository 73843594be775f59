// Secrets protected for the current user with the data protection API.
#include <windows.h>
// (after windows.h, which it builds on)
#include <wincrypt.h>

#include "platform/protected_data.h"

namespace zvt::platform {
namespace {

// What the system says of its last error, as "error N".
std::string LastError(const char* what) {
  return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")";
}

// The blob the API returned, freed with LocalFree when it goes.
struct OwnedBlob {
  DATA_BLOB blob{0, nullptr};
  ~OwnedBlob() {
    if (blob.pbData != nullptr) {
      SecureZeroMemory(blob.pbData, blob.cbData);
      LocalFree(blob.pbData);
    }
  }
};

}  // namespace

bool CanProtectForUser() { return true; }

bool ProtectForUser(const std::string& secret, std::vector<uint8_t>* blob, std::string* error) {
  DATA_BLOB in{static_cast<DWORD>(secret.size()),
               reinterpret_cast<BYTE*>(const_cast<char*>(secret.data()))};
  OwnedBlob out;
  if (!CryptProtectData(&in, L"zvtappad system password", nullptr, nullptr, nullptr,
                        CRYPTPROTECT_UI_FORBIDDEN, &out.blob)) {
    *error = LastError("protecting the password");
    return false;
  }
  blob->assign(out.blob.pbData, out.blob.pbData + out.blob.cbData);
  return true;
}

bool UnprotectForUser(const std::vector<uint8_t>& blob, std::string* secret, std::string* error) {
  DATA_BLOB in{static_cast<DWORD>(blob.size()), const_cast<BYTE*>(blob.data())};
  OwnedBlob out;
  if (blob.empty() || !CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr,
                                          CRYPTPROTECT_UI_FORBIDDEN, &out.blob)) {
    *error = blob.empty() ? "the protected password is empty"
                          : LastError("unprotecting the password (is it another user's?)");
    return false;
  }
  secret->assign(reinterpret_cast<const char*>(out.blob.pbData), out.blob.cbData);
  return true;
}

}  // namespace zvt::platform
