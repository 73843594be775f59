// Appending error records to the client's error log.
#include "pgm/error_log.h"

#include <fcntl.h>
#include <time.h>
#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#include <process.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>

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

// Appends `record` to the file at `path` (UTF-8), creating it private to
// the user; one write, so that records of several processes do not mix.
void AppendToFile(const std::string& path, const std::string& record) {
#ifdef _WIN32
  const std::u16string wide = platform::U16(path);
  int fd =
      _wopen(reinterpret_cast<const wchar_t*>(wide.c_str()),
             _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) return;
  (void)_write(fd, record.data(), static_cast<unsigned>(record.size()));
  _close(fd);
#else
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ssize_t ignored = write(fd, record.data(), record.size());
  (void)ignored;
  close(fd);
#endif
}

}  // namespace

ErrorLog::ErrorLog(std::string path) : path_(std::move(path)) {
  if (path_.empty()) path_ = platform::StateDirectoryPath() + "/error.log";
}

void ErrorLog::Append(const std::u16string& source, uint32_t line, uint32_t message_number,
                      uint32_t error_class, std::u16string_view text) const {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  struct tm local {};
#ifdef _WIN32
  localtime_s(&local, &seconds);
  const long pid = _getpid();
#else
  localtime_r(&seconds, &local);
  const long pid = getpid();
#endif
  char stamp[64];
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  char head[160];
  std::snprintf(head, sizeof head, "%s.%03ld pid=%ld ", stamp, millis, pid);
  std::string record = head;
  record += Escape(source) + ":" + std::to_string(line) + " msg=" + std::to_string(message_number) +
            " class=" + std::to_string(error_class) + " " + Escape(text) + "\n";
  std::string message;
  if (!platform::EnsurePrivateDirectory(platform::DirectoryOf(path_), &message)) return;
  AppendToFile(path_, record);
}

void LoggedErrorObject::addText(std::u16string_view text) {
  ErrorObject::addText(text);
  if (log_ != nullptr) log_->Append(source(), line(), messageNumber(), errorClass(), text);
}

}  // namespace zvt::pgm
