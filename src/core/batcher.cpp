#include "core/batcher.hpp"

#include <string>

namespace kestrelite::core {

bool KeySets::add_int(std::int64_t key) {
  return ints_.find_or_insert(key, [key] { return key; }).second;
}

bool KeySets::add_str(std::string_view key) {
  return strs_.find_or_insert(key, [key] { return std::string(key); }).second;
}

void KeySets::clear() noexcept {
  ints_.clear();
  strs_.clear();
}

}  // namespace kestrelite::core
