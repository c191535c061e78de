#pragma once
// Owned references: a strong reference lives only in an Owned; a raw PyObject* is a borrow.
#include <utility>

#include "python/api.hpp"

namespace kestrelite::python {

/// The single owner of one strong reference.
class Owned {
 public:
  Owned() noexcept = default;
  static Owned steal(PyObject* p) noexcept { return Owned(p); }
  static Owned borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Owned(p);
  }
  Owned(Owned&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Owned& operator=(Owned&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Owned(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace kestrelite::python
