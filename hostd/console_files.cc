// The console's files, held in memory and served with their security
// headers.
#include "hostd/console_files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace zvt::hostd {
namespace {

// The media type of a file by its extension; others are not served.
const char* TypeOf(const std::string& name) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".txt", "text/plain; charset=utf-8"},
      {".ico", "image/x-icon"}};
  for (const auto& [ending, type] : kTypes) {
    const std::string e = ending;
    if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0)
      return type;
  }
  return nullptr;
}

AdminResponse Text(unsigned status, const std::string& text) {
  AdminResponse r{status, "text/plain; charset=utf-8", text + "\n", {}};
  ConsoleFiles::AddSecurityHeaders(&r);
  return r;
}

}  // namespace

void ConsoleFiles::AddSecurityHeaders(AdminResponse* r) {
  r->headers.push_back({"Content-Security-Policy",
                        "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                        "connect-src 'self'; base-uri 'none'; form-action 'self'; "
                        "frame-ancestors 'none'"});
  r->headers.push_back({"X-Frame-Options", "DENY"});
  r->headers.push_back({"Referrer-Policy", "no-referrer"});
}

bool ConsoleFiles::Load(const std::string& directory, std::string* error) {
  struct CloseDir {
    void operator()(DIR* d) const { closedir(d); }
  };
  std::unique_ptr<DIR, CloseDir> dir(opendir(directory.c_str()));
  if (!dir) {
    *error = "cannot read the console's directory " + directory;
    return false;
  }
  std::map<std::string, File> files;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    const char* type = TypeOf(name);
    if (name[0] == '.' || type == nullptr) continue;
    const std::string path = directory + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (static_cast<size_t>(st.st_size) > kMaxFileBytes) {
      *error = path + " is larger than the console's files may be";
      return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream body;
    body << in.rdbuf();
    if (!in) {
      *error = "cannot read " + path;
      return false;
    }
    files[name] = {type, body.str()};
  }
  if (files.count("index.html") == 0) {
    *error = directory + " holds no index.html";
    return false;
  }
  files_ = std::move(files);
  return true;
}

std::optional<AdminResponse> ConsoleFiles::Answer(const AdminRequest& request) const {
  if (files_.empty()) return std::nullopt;  // none loaded
  const std::string& path = request.path;
  constexpr char kPrefix[] = "/console/";
  const bool root = path == "/" || path == "/console";
  if (!root && path.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return std::nullopt;
  if (request.method != "GET" && request.method != "HEAD") {
    AdminResponse r = Text(405, "the console's files are read with GET");
    r.headers.push_back({"Allow", "GET, HEAD"});
    return r;
  }
  if (root) {
    AdminResponse r = Text(303, "the console is at /console/");
    r.headers.push_back({"Location", "/console/"});
    return r;
  }
  std::string name = path.substr(sizeof kPrefix - 1);
  if (name.empty()) name = "index.html";
  auto it = files_.find(name);
  if (it == files_.end()) return Text(404, "no such page");
  AdminResponse r{200, it->second.type, it->second.body, {}};
  AddSecurityHeaders(&r);
  return r;
}

}  // namespace zvt::hostd
