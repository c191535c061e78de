#include "core/hash.hpp"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <random>

namespace kestrelite::core {
namespace {

/// The C++ library's random device, for a system without getrandom or before the kernel's
/// pool is ready; failing that, the clock mixed with an address that varies from run to run.
std::uint64_t fallback_seed() noexcept {
  try {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (...) {
  }
  static const int marker = 0;
  const auto now = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  const auto where = reinterpret_cast<std::uintptr_t>(&marker);
  return hash_int(now, HashSeed{where});
}

}  // namespace

std::uint64_t draw_random_seed() noexcept {
  std::uint64_t seed = 0;
  auto* out = reinterpret_cast<unsigned char*>(&seed);
  std::size_t got = 0;
  while (got < sizeof seed) {
    // Never blocks: a pool that is not ready yet, like a kernel without the call, sends the
    // draw to the fallback.
    const ssize_t n = getrandom(out + got, sizeof seed - got, GRND_NONBLOCK);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return fallback_seed();
    }
  }
  return seed;
}

}  // namespace kestrelite::core
