// Appending error records to the client's error log.
#include "pgm/error_log.h"

#include <cstdio>

#include "platform/log_file.h"
#include "platform/paths.h"
#include "platform/utf.h"

namespace zvt::pgm {
namespace {

std::string Escape(std::u16string_view text) {
  std::string out;
  for (char c : platform::Utf16ToUtf8(text)) {
    auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (u < 0x20 || u == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

ErrorLog::ErrorLog(std::string path) : path_(std::move(path)) {
  if (path_.empty()) path_ = platform::StateDirectoryPath() + "/error.log";
}

void ErrorLog::Append(const std::u16string& source, uint32_t line, uint32_t message_number,
                      uint32_t error_class, std::u16string_view text) const {
  char head[160];
  std::snprintf(head, sizeof head, "%s pid=%ld ", platform::LocalTimestamp().c_str(),
                platform::ProcessId());
  std::string record = head;
  record += Escape(source) + ":" + std::to_string(line) + " msg=" + std::to_string(message_number) +
            " class=" + std::to_string(error_class) + " " + Escape(text) + "\n";
  (void)platform::AppendToLogFile(path_, record);
}

void LoggedErrorObject::addText(std::u16string_view text) {
  ErrorObject::addText(text);
  if (log_ != nullptr) log_->Append(source(), line(), messageNumber(), errorClass(), text);
}

}  // namespace zvt::pgm
