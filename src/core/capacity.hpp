#pragma once
// What a container of the core says when it is asked to hold more than it can count: the
// binding raises the text as its internal failure, so the text has this one home.

#include <stdexcept>

namespace kestrelite::core {

inline constexpr const char* kCapacityOverflow = "capacity overflow";

[[noreturn]] inline void throw_capacity_overflow() { throw std::length_error(kCapacityOverflow); }

}  // namespace kestrelite::core
