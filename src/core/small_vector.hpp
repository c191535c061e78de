#pragma once
// A vector that keeps its first N elements inline, so the short lists of a typical call
// (a handful of columns, conditions or joins) never touch the heap.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "core/capacity.hpp"

namespace kestrelite::core {

/// `Size` counts the elements: a narrower type makes a small object smaller (a table of a
/// few fields), and grow() refuses more elements than it can count.
template <class T, std::size_t N, class Size = std::size_t>
class SmallVector {
 public:
  SmallVector() noexcept = default;
  SmallVector(const SmallVector&) = delete;
  SmallVector& operator=(const SmallVector&) = delete;
  SmallVector(SmallVector&& o) noexcept(std::is_nothrow_move_constructible_v<T>) {
    take(std::move(o));
  }
  SmallVector& operator=(SmallVector&& o) noexcept(std::is_nothrow_move_constructible_v<T>) {
    if (this != &o) {
      destroy();
      take(std::move(o));
    }
    return *this;
  }
  ~SmallVector() {
    std::destroy_n(data_, size_);
    release_heap();
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }

  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
  }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) [[unlikely]] grow_for_more();
    T* slot = ::new (static_cast<void*>(data_ + size_)) T(std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }
  void push_back(T value) { emplace_back(std::move(value)); }
  /// Appends what `make()` returns, constructed in its slot: no temporary to move from.
  template <class Make>
  T& emplace_back_made(Make&& make) {
    if (size_ == capacity_) [[unlikely]] grow_for_more();
    T* slot = ::new (static_cast<void*>(data_ + size_)) T(make());
    ++size_;
    return *slot;
  }

  void clear() noexcept {
    std::destroy_n(data_, size_);
    size_ = 0;
  }

  /// Destroys the elements from `n` on; a no-op when there are `n` or fewer.
  void truncate(std::size_t n) noexcept {
    if (n >= size_) return;
    std::destroy_n(data_ + n, size_ - n);
    size_ = static_cast<Size>(n);
  }

 private:
  T* inline_data() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }

  // Out of line, so that an append stays small enough to inline where it is made.
  [[gnu::noinline]] void grow_for_more() {
    grow(std::max<std::size_t>(std::size_t{capacity_} * 2, N));
  }

  void grow(std::size_t cap) {
    if (cap > std::numeric_limits<Size>::max()) throw_capacity_overflow();
    T* fresh = static_cast<T*>(::operator new(cap * sizeof(T), std::align_val_t(alignof(T))));
    std::uninitialized_move_n(data_, size_, fresh);
    std::destroy_n(data_, size_);
    release_heap();
    data_ = fresh;
    capacity_ = static_cast<Size>(cap);
  }

  void release_heap() noexcept {
    if (data_ != inline_data()) ::operator delete(data_, std::align_val_t(alignof(T)));
  }

  void destroy() noexcept {
    std::destroy_n(data_, size_);
    release_heap();
    data_ = inline_data();
    size_ = 0;
    capacity_ = N;
  }

  void take(SmallVector&& o) {
    if (o.data_ == o.inline_data()) {
      data_ = inline_data();
      capacity_ = N;
      std::uninitialized_move_n(o.data_, o.size_, data_);
      size_ = o.size_;
      o.clear();
    } else {
      data_ = std::exchange(o.data_, o.inline_data());
      size_ = std::exchange(o.size_, 0);
      capacity_ = std::exchange(o.capacity_, N);
    }
  }

  alignas(T) unsigned char inline_[N * sizeof(T)];
  T* data_ = inline_data();
  Size size_ = 0;
  Size capacity_ = N;
};

}  // namespace kestrelite::core
