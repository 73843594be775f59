// The checksums that the registry store keeps with its rows: one per value
// row, one per key row, and the identity by which a key counts among its
// parent's subkeys. 64-bit XXH3 over the fields; each kind has its own seed,
// so that a row of one kind never checks as another. Pure functions.
#ifndef ZVT_PLATFORM_ROW_CHECKS_H_
#define ZVT_PLATFORM_ROW_CHECKS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zvt::platform {

// A value row: the key it belongs to, its name as stored (UTF-16), its type
// and its data.
std::uint64_t ValueCheck(std::int64_t key, std::u16string_view name, std::uint32_t type,
                         const void* data, size_t size);

// The same, with the name as the bytes of its UTF-16 code units in memory
// order (as the store keeps them).
std::uint64_t ValueCheckBytes(std::int64_t key, const void* name, size_t name_bytes,
                              std::uint32_t type, const void* data, size_t size);

// A key as its parent counts it: its id, its parent and its name.
std::uint64_t KeyIdentity(std::int64_t id, std::int64_t parent, std::u16string_view name);

// A key row: its identity and the two sums it keeps (the xor of its values'
// checks and the xor of its subkeys' identities).
std::uint64_t KeyCheck(std::int64_t id, std::int64_t parent, std::u16string_view name,
                       std::uint64_t value_sum, std::uint64_t subkey_sum);

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_ROW_CHECKS_H_
