// Protected secrets on POSIX systems: there is no per-user secret store, so a
// protected password (written by the Windows client) cannot be read here.
#include "platform/protected_data.h"

namespace zvt::platform {

bool CanProtectForUser() { return false; }

bool ProtectForUser(const std::string&, std::vector<uint8_t>*, std::string* error) {
  *error = "passwords are protected for their user on Windows only; use a password file";
  return false;
}

bool UnprotectForUser(const std::vector<uint8_t>&, std::string*, std::string* error) {
  *error = "the password is protected for a Windows user and cannot be read on this system";
  return false;
}

}  // namespace zvt::platform
