// The log-file helpers on POSIX and on Windows.
#include "platform/log_file.h"

#include <fcntl.h>
#include <time.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>

#include "platform/paths.h"
#include "platform/utf.h"

namespace zvt::platform {

bool AppendToLogFile(const std::string& path, const std::string& record) {
  std::string message;
  if (!EnsurePrivateDirectory(DirectoryOf(path), &message)) return false;
#ifdef _WIN32
  const std::u16string wide = U16(path);
  int fd =
      _wopen(reinterpret_cast<const wchar_t*>(wide.c_str()),
             _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  bool ok = _write(fd, record.data(), static_cast<unsigned>(record.size())) ==
            static_cast<int>(record.size());
  _close(fd);
#else
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
  close(fd);
#endif
  return ok;
}

std::string LocalTimestamp() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  struct tm local {};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char stamp[64];
  size_t n = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", millis);
  return stamp;
}

long ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<long>(getpid());
#endif
}

}  // namespace zvt::platform
