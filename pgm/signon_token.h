// The sign-on token a host handed this user for one system, kept in a file
// of its own in the user's private state directory, so that the next
// process signs on with it rather than with the password's slow check.
#ifndef ZVT_PGM_SIGNON_TOKEN_H_
#define ZVT_PGM_SIGNON_TOKEN_H_

#include <string>

namespace zvt::pgm {

// The token in `path`; empty when there is none or the file does not hold
// one (a damaged file is as good as none: the password is used).
std::string ReadSignonToken(const std::string& path);
// Replaces the file's token: written beside it, readable by the owner
// alone, and renamed over it, so that a reader sees the old or the new one.
bool WriteSignonToken(const std::string& path, const std::string& token, std::string* error);

}  // namespace zvt::pgm

#endif  // ZVT_PGM_SIGNON_TOKEN_H_
