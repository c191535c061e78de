#include "core/batcher.hpp"

#include <string>

namespace kestrelite::core {

void KeySets::clear() noexcept {
  ints_.clear();
  strs_.clear();
}

}  // namespace kestrelite::core
