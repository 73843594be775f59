// Reading and replacing a system's sign-on token file.
#include "pgm/signon_token.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace zvt::pgm {

namespace {

constexpr size_t kMaxToken = 128;

bool LooksLikeToken(const std::string& t) {
  return !t.empty() && t.size() <= kMaxToken &&
         t.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

}  // namespace

std::string ReadSignonToken(const std::string& path) {
  if (path.empty()) return "";
  std::ifstream in(path, std::ios::binary);
  std::string token;
  char buffer[kMaxToken + 2];
  in.read(buffer, sizeof buffer);
  token.assign(buffer, static_cast<size_t>(in.gcount()));
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
  return LooksLikeToken(token) ? token : "";
}

bool WriteSignonToken(const std::string& path, const std::string& token, std::string* error) {
  namespace fs = std::filesystem;
  if (!LooksLikeToken(token)) {
    *error = "the host handed out a sign-on token of an unknown form";
    return false;
  }
  const std::string temporary = path + ".new";
  std::error_code ec;
  fs::remove(temporary, ec);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    // Owner only before the token goes in (the directory is private as well).
    fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace, ec);
    out << token << "\n";
    out.close();
    if (!out || ec) {
      *error = "cannot write " + temporary + (ec ? ": " + ec.message() : "");
      fs::remove(temporary, ec);
      return false;
    }
  }
  fs::rename(temporary, path, ec);
  if (ec) {
    *error = "cannot replace " + path + ": " + ec.message();
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

}  // namespace zvt::pgm
