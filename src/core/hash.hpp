#pragma once
// The keyed hashes of every table: XXH3 of a key's bytes under a 64-bit seed. Each process
// draws its own seed from the operating system, so keys chosen to collide under one seed
// (or under the unkeyed function, which is seed 0) land apart in the tables of another
// process. Nothing the module returns depends on the seed: tables list their entries in the
// order they were stored.

#include <cstdint>
#include <cstring>
#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace kestrelite::core {

/// The key of a table's hash.
struct HashSeed {
  std::uint64_t value;
};

/// Eight bytes from the operating system's random source, drawn afresh on every call.
std::uint64_t draw_random_seed() noexcept;

/// The seed of every table built without one of its own: drawn once per process, on first use.
inline HashSeed process_hash_seed() noexcept {
  static const HashSeed seed{draw_random_seed()};
  return seed;
}

/// Hash of a name's bytes (field and column names, text keys).
inline std::uint64_t hash_bytes(std::string_view s, HashSeed seed) noexcept {
  return XXH3_64bits_withSeed(s.data(), s.size(), seed.value);
}

/// Hash of a 64-bit integer key: its eight bytes, through the same keyed function.
inline std::uint64_t hash_int(std::uint64_t x, HashSeed seed) noexcept {
  unsigned char bytes[sizeof x];
  std::memcpy(bytes, &x, sizeof x);
  return XXH3_64bits_withSeed(bytes, sizeof bytes, seed.value);
}

}  // namespace kestrelite::core
