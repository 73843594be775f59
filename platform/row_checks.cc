// Row checksums of the registry store, on xxHash's XXH3.
#include "platform/row_checks.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstring>
#include <string>

namespace zvt::platform {
namespace {

// One seed per kind of row.
constexpr XXH64_hash_t kValueSeed = 0x7A76742D76616C31ull;     // "zvt-val1"
constexpr XXH64_hash_t kIdentitySeed = 0x7A76742D6B696431ull;  // "zvt-kid1"
constexpr XXH64_hash_t kKeySeed = 0x7A76742D6B657931ull;       // "zvt-key1"

// Fixed-width fields in little-endian order, then the variable ones with
// their lengths, gathered and hashed at once (rows are small: a buffer on the
// stack holds most of them).
class Hasher {
 public:
  explicit Hasher(XXH64_hash_t seed) : seed_(seed) {}
  Hasher& Number(std::uint64_t v) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
    return Append(bytes, sizeof bytes);
  }
  Hasher& Bytes(const void* data, size_t size) {
    Number(size);
    return Append(data, size);
  }
  std::uint64_t Digest() const {
    return spill_.empty() ? XXH3_64bits_withSeed(inline_, used_, seed_)
                          : XXH3_64bits_withSeed(spill_.data(), spill_.size(), seed_);
  }

 private:
  Hasher& Append(const void* data, size_t size) {
    if (size == 0) return *this;
    if (spill_.empty() && used_ + size <= sizeof inline_) {
      std::memcpy(inline_ + used_, data, size);
      used_ += size;
      return *this;
    }
    if (spill_.empty()) spill_.assign(inline_, inline_ + used_);
    spill_.append(static_cast<const char*>(data), size);
    return *this;
  }

  XXH64_hash_t seed_;
  char inline_[512];
  size_t used_ = 0;
  std::string spill_;
};

}  // namespace

std::uint64_t ValueCheck(std::int64_t key, std::u16string_view name, std::uint32_t type,
                         const void* data, size_t size) {
  return Hasher(kValueSeed)
      .Number(static_cast<std::uint64_t>(key))
      .Number(type)
      .Bytes(name.data(), name.size() * sizeof(char16_t))
      .Bytes(data, size)
      .Digest();
}

std::uint64_t ValueCheckBytes(std::int64_t key, const void* name, size_t name_bytes,
                              std::uint32_t type, const void* data, size_t size) {
  return Hasher(kValueSeed)
      .Number(static_cast<std::uint64_t>(key))
      .Number(type)
      .Bytes(name, name_bytes)
      .Bytes(data, size)
      .Digest();
}

std::uint64_t KeyIdentity(std::int64_t id, std::int64_t parent, std::u16string_view name) {
  return Hasher(kIdentitySeed)
      .Number(static_cast<std::uint64_t>(id))
      .Number(static_cast<std::uint64_t>(parent))
      .Bytes(name.data(), name.size() * sizeof(char16_t))
      .Digest();
}

std::uint64_t KeyCheck(std::int64_t id, std::int64_t parent, std::u16string_view name,
                       std::uint64_t value_sum, std::uint64_t subkey_sum) {
  return Hasher(kKeySeed)
      .Number(static_cast<std::uint64_t>(id))
      .Number(static_cast<std::uint64_t>(parent))
      .Number(value_sum)
      .Number(subkey_sum)
      .Bytes(name.data(), name.size() * sizeof(char16_t))
      .Digest();
}

}  // namespace zvt::platform
