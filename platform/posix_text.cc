// Narrow-to-UTF-16 conversion with iconv.
#include "platform/posix_text.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "services/fast_tls.h"

namespace zvt::platform {
namespace {

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr const char* kUtf16Native = "UTF-16BE";
#else
constexpr const char* kUtf16Native = "UTF-16LE";
#endif

// One conversion descriptor per thread and code set, reused across calls
// because opening one costs more than converting a short string.
class Converter {
 public:
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  iconv_t For(const char* code_set) {
    if (code_set_ != code_set) {
      if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
      cd_ = iconv_open(kUtf16Native, code_set);
      code_set_ = cd_ != reinterpret_cast<iconv_t>(-1) ? code_set : std::string();
    } else {
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // reset shift state
    }
    return cd_;
  }

 private:
  std::string code_set_;
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
};

// Code sets in which every byte below 0x80 is the ASCII character: text of
// such bytes alone converts without iconv. (Shift_JIS, for one, is not:
// 0x5C is the yen sign.)
bool AsciiCompatible(const char* code_set) {
  // The answer for the thread's last code set is kept: it is asked on
  // every conversion. (A name too long for the slot is not kept.)
  ZVT_FAST_TLS thread_local char last_set[48] = {};
  ZVT_FAST_TLS thread_local bool last_answer = false;
  if (std::strcmp(code_set, last_set) == 0) return last_answer;
  bool answer = false;
  static constexpr const char* kPrefixes[] = {"UTF-8",  "ANSI_X3.4-1968", "ISO-8859-", "CP125",
                                              "KOI8-",  "EUC-",           "GB18030",   "GBK",
                                              "GB2312", "US-ASCII"};
  for (const char* prefix : kPrefixes) {
    if (std::strncmp(code_set, prefix, std::strlen(prefix)) == 0) {
      answer = true;
      break;
    }
  }
  if (std::strlen(code_set) < sizeof last_set) {
    std::strcpy(last_set, code_set);
    last_answer = answer;
  }
  return answer;
}

// The name of a code page's code set without building a string: the
// locale's own for the thread's and the process's code pages (it stays
// valid while the locale does, which outlasts one conversion), else
// written into `buffer`.
const char* CodeSet(UINT code_page, char (&buffer)[16]) {
  if (code_page == kCpUtf8) return "UTF-8";
  if (code_page == kCpThreadAcp || code_page == kCpAcp) {
    locale_t current =
        code_page == kCpThreadAcp ? uselocale(static_cast<locale_t>(0)) : LC_GLOBAL_LOCALE;
    const char* name =
        current == LC_GLOBAL_LOCALE ? nl_langinfo(CODESET) : nl_langinfo_l(CODESET, current);
    return name != nullptr && *name != '\0' ? name : "ANSI_X3.4-1968";
  }
  std::snprintf(buffer, sizeof buffer, "CP%u", static_cast<unsigned>(code_page));
  return buffer;
}

}  // namespace

std::string PosixText::CodeSetName(UINT code_page) {
  char buffer[16];
  return CodeSet(code_page, buffer);
}

int PosixText::MultiByteToWideChar(UINT code_page, DWORD flags, const char* source, int source_len,
                                   char16_t* dest, int dest_chars, LONG* error) {
  auto fail = [error](LONG code) {
    if (error != nullptr) *error = code;
    return 0;
  };
  if (source == nullptr || source_len == 0 || source_len < -1 || dest_chars < 0 ||
      (dest_chars > 0 && dest == nullptr) || flags != 0)
    return fail(kErrorInvalidParameter);
  size_t in_len = source_len == -1 ? std::strlen(source) + 1 : static_cast<size_t>(source_len);

  char buffer[16];
  const char* code_set = CodeSet(code_page, buffer);
  if (dest_chars > 0 && in_len <= static_cast<size_t>(dest_chars) && AsciiCompatible(code_set)) {
    // Copied as it is checked; the first byte above 0x7F hands the text to
    // iconv, which writes `dest` anew.
    size_t i = 0;
    for (; i < in_len && static_cast<unsigned char>(source[i]) < 0x80; ++i)
      dest[i] = static_cast<char16_t>(source[i]);
    if (i == in_len) {
      if (error != nullptr) *error = kErrorSuccess;
      return static_cast<int>(in_len);
    }
  }
  thread_local Converter converter;
  iconv_t cd = converter.For(code_set);
  if (cd == reinterpret_cast<iconv_t>(-1)) return fail(kErrorInvalidParameter);

  // Every input byte yields at most two UTF-16 units.
  std::vector<char16_t> out(in_len * 2);
  char* in_ptr = const_cast<char*>(source);
  size_t in_left = in_len;
  char* out_ptr = reinterpret_cast<char*>(out.data());
  size_t out_left = out.size() * sizeof(char16_t);
  if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1)) {
    return fail(errno == E2BIG ? kErrorInsufficientBuffer : kErrorNoUnicodeTranslation);
  }
  size_t produced = (out.size() * sizeof(char16_t) - out_left) / sizeof(char16_t);
  if (dest_chars == 0) return static_cast<int>(produced);
  if (produced > static_cast<size_t>(dest_chars)) return fail(kErrorInsufficientBuffer);
  std::memcpy(dest, out.data(), produced * sizeof(char16_t));
  if (error != nullptr) *error = kErrorSuccess;
  return static_cast<int>(produced);
}

}  // namespace zvt::platform
