#pragma once
// Every text the module writes: exception messages, the internal-failure class and its doc,
// and the texts that stand in for values that cannot be shown. No other file of the binding
// spells one out; texts made from parts are built here, on the failure path only.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/capacity.hpp"

namespace kestrelite::python::messages {

inline constexpr const char* kPanicTypeName = "_kestrelite_rs.PanicException";
inline constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails unexpectedly.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it usually "
    "propagates to the top and ends the interpreter instead of being caught by an "
    "'except Exception' clause.";

// Internal failures (PanicException).
inline constexpr std::string_view kGenericPanic = "native code failed unexpectedly";
inline constexpr const char* kNestedPanic =
    "native code panicked again while handling a panic raised from Python code\n"
    "the Python traceback of the nested panic follows:\n";
inline constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";
inline constexpr const char* kCapacityOverflow = core::kCapacityOverflow;
inline constexpr const char* kApiCallFailed = "Python API call failed";
inline constexpr const char* kUnknownVersion = "unrecognised interpreter version";
inline constexpr const char* kDictChangedSize = "dictionary changed size during iteration";
inline constexpr const char* kDictKeysChanged = "dictionary keys changed during iteration";

// Other exceptions.
inline constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr const char* kClassNameTooLong = "class name too long";
inline constexpr const char* kMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kBorrowed = "Already borrowed";
inline constexpr const char* kStrIsNotAList = "Can't extract `str` to `Vec`";
inline constexpr const char* kSubinterpreters =
    "_kestrelite_rs: single-interpreter extension modules do not yet support subinterpreters";

// What a conversion refusal names as its target ("cannot be converted to '...'").
inline constexpr const char* kToStr = "PyString";
inline constexpr const char* kToBool = "PyBool";
inline constexpr const char* kToDict = "PyDict";
inline constexpr const char* kToList = "PyList";
inline constexpr const char* kToTuple = "PyTuple";
inline constexpr const char* kToSequence = "Sequence";

/// Shown for a type whose __qualname__ cannot be read.
inline constexpr const char* kUnknownTypeName = "<failed to extract type name>";

/// "{class}.{function}()", or "{function}()" without a class.
std::string function_name(const char* class_name, const char* function);

/// "{function} takes N positional arguments but G were given" (or "takes from R to N").
std::string too_many_positional(std::string_view function, std::size_t required,
                                std::size_t max, std::size_t given);
/// "{function} missing N required positional argument(s): 'a', 'b', and 'c'".
std::string missing_required(std::string_view function,
                             std::span<const std::string_view> missing);
std::string multiple_values(std::string_view function, std::string_view param);
std::string unexpected_keyword(std::string_view function, std::string_view shown);
/// "'{type_name}' object cannot be converted to '{target}'".
std::string cannot_convert(std::string_view type_name, std::string_view target);
/// "argument '{name}': ", put before a TypeError raised while converting that argument.
std::string argument_prefix(std::string_view name);
std::string no_bool_conversion(std::string_view type_name);
std::string tuple_length(std::size_t expected, std::size_t got);
std::string class_init_failed(std::string_view class_name);
/// "<unprintable {type_name} object>", or "<unprintable object>" when the name is unknown.
std::string unprintable(std::optional<std::string_view> type_name);

}  // namespace kestrelite::python::messages
