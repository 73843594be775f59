// The names of the host's three function-registry programs, of the formats
// they answer in, and the list programs' blank continuation handle, spelled
// once for the library (which passes them
// to the program call library as UTF-16), the client services and the host
// server (which see them on the wire as they are).
#ifndef ZVT_HOST_PROGRAM_NAMES_H_
#define ZVT_HOST_PROGRAM_NAMES_H_

#include <cstddef>
#include <cstdint>

namespace zvt {

// An ASCII name widened to UTF-16 at compile time.
template <size_t N>
struct WideName {
  char16_t text[N] = {};
  constexpr explicit WideName(const char (&ascii)[N]) {
    for (size_t i = 0; i < N; ++i) text[i] = static_cast<char16_t>(ascii[i]);
  }
};

inline constexpr char kFunctionListName[] = "KLIB/KRFNLST";
inline constexpr char kFunctionListFormat[] = "LSTA0100";
inline constexpr char kUsageListName[] = "KLIB/KRUSRFN";
inline constexpr char kUsageListFormat[] = "USGA0100";
inline constexpr char kChangeTimestampsName[] = "KLIB/KRCHGTS";
inline constexpr char kChangeTimestampsFormat[] = "TSTA0100";

inline constexpr WideName kFunctionListName16{kFunctionListName};
inline constexpr WideName kFunctionListFormat16{kFunctionListFormat};
inline constexpr WideName kUsageListName16{kUsageListName};
inline constexpr WideName kUsageListFormat16{kUsageListFormat};
inline constexpr WideName kChangeTimestampsName16{kChangeTimestampsName};
inline constexpr WideName kChangeTimestampsFormat16{kChangeTimestampsFormat};

// The list programs' continuation handle asking for a list's first part:
// 20 bytes of 0x40 (EBCDIC blanks).
inline constexpr uint8_t kBlankHandle[20] = {0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40,
                                             0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40,
                                             0x40, 0x40, 0x40, 0x40, 0x40, 0x40};

}  // namespace zvt

#endif  // ZVT_HOST_PROGRAM_NAMES_H_
