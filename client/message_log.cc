// Writing and reading the message log.
#include "client/message_log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

#include "platform/paths.h"

namespace zvt::client {
namespace {

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    char n = s[++i];
    out.push_back(n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n);
  }
  return out;
}

}  // namespace

MessageLog::MessageLog(std::string path) : path_(std::move(path)) {
  if (path_.empty()) path_ = platform::StateDirectoryPath() + "/messages.log";
}

bool MessageLog::Append(uint32_t message_class, const std::string& source,
                        const std::string& component, const std::string& text) const {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[64];
  size_t n = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  snprintf(stamp + n, sizeof stamp - n, ".%03ld", static_cast<long>(now.tv_usec / 1000));
  std::string line = std::string(stamp) + "\t" + std::to_string(message_class) + "\t" +
                     Escape(source) + "\t" + Escape(component) + "\t" + Escape(text) + "\n";
  std::string message;
  if (!platform::EnsurePrivateDirectory(platform::DirectoryOf(path_), &message)) return false;
  int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fd);
  return ok;
}

bool MessageLog::Read(std::vector<LogEntry>* entries, std::string* error) const {
  entries->clear();
  std::ifstream in(path_);
  if (!in) {
    if (access(path_.c_str(), F_OK) != 0) return true;  // nothing logged yet
    *error = "cannot read " + path_;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      parts.push_back(line.substr(start, tab - start));
    parts.push_back(line.substr(start));
    if (parts.size() != 5) continue;
    LogEntry e;
    e.time = parts[0];
    e.message_class = static_cast<uint32_t>(std::strtoul(parts[1].c_str(), nullptr, 10));
    e.source = Unescape(parts[2]);
    e.component = Unescape(parts[3]);
    e.text = Unescape(parts[4]);
    entries->push_back(std::move(e));
  }
  return true;
}

}  // namespace zvt::client
