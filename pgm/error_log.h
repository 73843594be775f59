// The client's error log: one line per recorded error text, appended to
// error.log in the per-user state directory. Each record is written with a
// single append, so records of concurrent processes never interleave.
#ifndef ZVT_PGM_ERROR_LOG_H_
#define ZVT_PGM_ERROR_LOG_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "services/program_calls.h"

namespace zvt::pgm {

class ErrorLog {
 public:
  // Records go to `path`; an empty path means error.log in the state directory.
  explicit ErrorLog(std::string path = std::string());
  const std::string& path() const { return path_; }

  // Appends "time pid source:line msg=N class=C text". Newlines and other
  // control characters in the text are escaped. A log that cannot be written
  // is passed over: recording never fails its caller.
  void Append(const std::u16string& source, uint32_t line, uint32_t message_number,
              uint32_t error_class, std::u16string_view text) const;

 private:
  std::string path_;
};

// An error object that records every text added to it in the error log.
class LoggedErrorObject : public ErrorObject {
 public:
  LoggedErrorObject(const ErrorLog* log, uint32_t message_number, std::u16string source,
                    uint32_t line, uint32_t error_class)
      : ErrorObject(message_number, std::move(source), line, error_class), log_(log) {}
  void addText(std::u16string_view text) override;

 private:
  const ErrorLog* log_;
};

}  // namespace zvt::pgm

#endif  // ZVT_PGM_ERROR_LOG_H_
