// Unsigned 32- and 64-bit numbers in network byte order, as frame headers of the
// wire protocol and binary fields of host program parameters carry them.
#ifndef ZVT_PGM_BIG_ENDIAN_H_
#define ZVT_PGM_BIG_ENDIAN_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zvt::big_endian {

// The number in the four bytes at `p`.
inline uint32_t Load32(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

// The number at `at` in `bytes`; 0 when fewer than four bytes are there.
inline uint32_t Load32(std::string_view bytes, size_t at = 0) {
  return bytes.size() >= 4 && at <= bytes.size() - 4 ? Load32(bytes.data() + at) : 0;
}

// Writes `v` to the four bytes at `p`.
inline void Store32(void* p, uint32_t v) {
  auto* b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v >> 24);
  b[1] = static_cast<uint8_t>(v >> 16);
  b[2] = static_cast<uint8_t>(v >> 8);
  b[3] = static_cast<uint8_t>(v);
}

// The number in the eight bytes at `p`.
inline uint64_t Load64(const void* p) {
  return (uint64_t{Load32(p)} << 32) | Load32(static_cast<const uint8_t*>(p) + 4);
}

// Writes `v` to the eight bytes at `p`.
inline void Store64(void* p, uint64_t v) {
  Store32(p, static_cast<uint32_t>(v >> 32));
  Store32(static_cast<uint8_t*>(p) + 4, static_cast<uint32_t>(v));
}

// The four bytes of `v`.
inline std::string Bytes32(uint32_t v) {
  std::string out(4, '\0');
  Store32(out.data(), v);
  return out;
}

}  // namespace zvt::big_endian

#endif  // ZVT_PGM_BIG_ENDIAN_H_
