// Secrets kept for the current user of this machine: on Windows protected
// with the data protection API (CryptProtectData, readable only by the same
// user, on the same machine unless the user's profile roams); other systems
// keep passwords in files of their own and have no such store.
#ifndef ZVT_PLATFORM_PROTECTED_DATA_H_
#define ZVT_PLATFORM_PROTECTED_DATA_H_

#include <cstdint>
#include <string>
#include <vector>

namespace zvt::platform {

// Whether this system can protect secrets for its user.
bool CanProtectForUser();
// `secret` protected for the current user; false with `*error` on failure.
bool ProtectForUser(const std::string& secret, std::vector<uint8_t>* blob, std::string* error);
// The secret that ProtectForUser made `blob` of; false with `*error` when it
// cannot be had (another user's, damaged, or no such store here).
bool UnprotectForUser(const std::vector<uint8_t>& blob, std::string* secret, std::string* error);

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_PROTECTED_DATA_H_
