// Writing and reading the message log.
#include "client/message_log.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/log_file.h"
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
        // Other control bytes (a terminal escape in a host's text) are
        // kept as \xNN, so that the file shows none of them raw.
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
          out += hex;
        } else {
          out.push_back(c);
        }
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
    if (n == 'x' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
      continue;
    }
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
  const std::string stamp = platform::LocalTimestamp();
  std::string line = stamp + "\t" + std::to_string(message_class) + "\t" + Escape(source) + "\t" +
                     Escape(component) + "\t" + Escape(text) + "\n";
  return platform::AppendToLogFile(path_, line);
}

bool MessageLog::Read(std::vector<LogEntry>* entries, std::string* error) const {
  entries->clear();
  std::ifstream in(path_);
  if (!in) {
    std::error_code ignored;
    if (!std::filesystem::exists(path_, ignored)) return true;  // nothing logged yet
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
