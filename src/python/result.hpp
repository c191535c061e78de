#pragma once
// Errors as values: a Result holds a value or an Error naming the exception class and its
// message, and the exception object is made only at the boundary.
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "python/owned.hpp"

namespace kestrelite::python {

/// A failure on its way to the interpreter: either an exception class with a message (the
/// exception object is made only at the boundary), an exception already raised by the
/// interpreter, or an internal failure raised as PanicException.
class Error {
 public:
  enum class Kind { kMessage, kFetched, kPanic };

  static Error message(PyObject* type, std::string text) {
    return Error(Kind::kMessage, type, std::move(text));
  }
  static Error panic(std::string text) { return Error(Kind::kPanic, nullptr, std::move(text)); }
  static Error fetched(Owned type, Owned value, Owned traceback) {
    Error e(Kind::kFetched, nullptr, {});
    e.fetched_type_ = std::move(type);
    e.value_ = std::move(value);
    e.traceback_ = std::move(traceback);
    return e;
  }

  Kind kind() const noexcept { return kind_; }
  /// The exception class this error will raise.
  PyObject* type() const noexcept;
  const std::string& text() const noexcept { return text_; }

  /// Sets this error as the interpreter's current exception.
  void restore() &&;

  /// Turns the error into a normalised exception instance (a new reference), or nullptr with
  /// the interpreter's error set.
  Owned into_exception() &&;

 private:
  Error(Kind kind, PyObject* type, std::string text)
      : kind_(kind), type_(type), text_(std::move(text)) {}

  Kind kind_;
  PyObject* type_;  // a long-lived exception class for kMessage
  std::string text_;
  Owned fetched_type_, value_, traceback_;
};

struct Unit {};

/// The address Result uses to mark a result whose error moved out.
inline constexpr char kEmptyResultMark = 0;

/// Frees an error a result held; out of line, so that dropping a result stays a pointer test.
[[gnu::cold, gnu::noinline]] void drop_error(Error* error) noexcept;

/// Either a value or an Error. The error lives on the heap, made only on the failure path,
/// so checking or dropping a successful result costs a test of one word. A result moved from
/// while it held an error is empty: it reports !ok(), and neither its value nor its error may
/// be read.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)  // NOLINT: implicit
  {
    ::new (static_cast<void*>(&value_)) T(std::move(value));
  }
  Result(Error error) : error_(new Error(std::move(error))) {}  // NOLINT: implicit by design
  Result(Result&& o) noexcept(std::is_nothrow_move_constructible_v<T>) : error_(o.error_) {
    if (error_) {
      o.error_ = empty_mark();  // the error moved here; its value was never made
    } else {
      ::new (static_cast<void*>(&value_)) T(std::move(o.value_));
    }
  }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  Result& operator=(Result&&) = delete;
  ~Result() {
    if (!error_) [[likely]] {
      value_.~T();
    } else if (error_ != empty_mark()) {
      drop_error(error_);
    }
  }

  bool ok() const noexcept { return error_ == nullptr; }
  /// Whether this result was moved from while it held an error.
  bool empty() const noexcept { return error_ == empty_mark(); }
  explicit operator bool() const noexcept { return ok(); }
  T& operator*() & noexcept {
    KESTRELITE_ASSERT(ok());
    return value_;
  }
  T&& operator*() && noexcept {
    KESTRELITE_ASSERT(ok());
    return std::move(value_);
  }
  T* operator->() noexcept {
    KESTRELITE_ASSERT(ok());
    return &value_;
  }
  Error& error() & noexcept {
    KESTRELITE_ASSERT(!ok() && !empty());
    return *error_;
  }
  Error&& error() && noexcept {
    KESTRELITE_ASSERT(!ok() && !empty());
    return std::move(*error_);
  }

 private:
  // Not null and never a real error: the state of a result whose error moved out.
  static Error* empty_mark() noexcept {
    return reinterpret_cast<Error*>(const_cast<char*>(&kEmptyResultMark));
  }
  union {
    T value_;
  };
  Error* error_ = nullptr;  // owned, unless it is empty_mark()
};

using Status = Result<Unit>;

/// Binds `var` to the value of `expr`, or returns its error from the enclosing function.
#define KESTRELITE_TRY(var, expr)                                 \
  auto var##_result_ = (expr);                                    \
  if (!var##_result_) return std::move(var##_result_).error();    \
  auto var = std::move(*std::move(var##_result_))

/// Returns the error of a Status-valued `expr` from the enclosing function.
#define KESTRELITE_CHECK(expr)                              \
  do {                                                      \
    auto status_ = (expr);                                  \
    if (!status_) return std::move(status_).error();        \
  } while (0)

/// Reads the failure an interpreter call just signalled (a nested PanicException becomes an
/// internal failure of this call).
[[gnu::cold]] Error fetch_error();

/// Whether `error` ends the call even where a failed conversion takes a default: no memory,
/// an internal failure, or an exception that is not an error (KeyboardInterrupt).
bool ends_the_call(const Error& error) noexcept;

[[gnu::cold]] Error type_error(std::string text);
[[gnu::cold]] Error value_error(std::string text);

/// "'{qualname of obj's type}' object cannot be converted to '{target}'".
[[gnu::cold]] Error conversion_error(PyObject* obj, const char* target);

/// Applies the argument-name prefix to a TypeError raised while converting argument `name`.
[[gnu::cold]] Error argument_error(Error error, const char* name);

/// The text of str(obj), lone surrogates replaced, or nullopt when str() fails (its error
/// cleared).
std::optional<std::string> lenient_str(PyObject* obj);

/// The class of internal failures (a BaseException), created once.
PyObject* panic_exception_type();

}  // namespace kestrelite::python
