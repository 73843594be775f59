// The web console's files: read once from a directory and served from memory
// under /console/, so that a request can name nothing but a file found there
// at start. Every answer carries a Content-Security-Policy that lets pages
// run script, style and requests from this origin alone (no inline script),
// and is never framed.
#ifndef ZVT_HOSTD_CONSOLE_FILES_H_
#define ZVT_HOSTD_CONSOLE_FILES_H_

#include <map>
#include <optional>
#include <string>

#include "hostd/admin_listener.h"

namespace zvt::hostd {

class ConsoleFiles {
 public:
  // The largest file served; a larger one fails the load.
  static constexpr size_t kMaxFileBytes = size_t{1} << 20;

  // Reads the regular files of `directory` (not below it). Fails with
  // `error` when it cannot be read or holds no index.html.
  bool Load(const std::string& directory, std::string* error);

  // The answer for "/", "/console" and paths below "/console/"; nothing for
  // any other path, nor for any before a load.
  std::optional<AdminResponse> Answer(const AdminRequest& request) const;

  size_t size() const { return files_.size(); }

  // The headers every console answer carries beside the listener's own
  // (no-store, nosniff).
  static void AddSecurityHeaders(AdminResponse* response);

 private:
  struct File {
    std::string type;
    std::string body;
  };
  std::map<std::string, File> files_;  // by name
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_CONSOLE_FILES_H_
