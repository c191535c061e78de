#include "python/messages.hpp"

#include <cstdint>

#include "core/text.hpp"

namespace kestrelite::python::messages {
namespace {

std::string number(std::size_t n) {
  std::string s;
  core::append_decimal(s, static_cast<std::uint64_t>(n));
  return s;
}

std::string quoted(std::string_view text) {
  std::string out = "'";
  out += text;
  out += "'";
  return out;
}

}  // namespace

std::string function_name(const char* class_name, const char* function) {
  std::string out;
  if (class_name) {
    out += class_name;
    out += '.';
  }
  out += function;
  out += "()";
  return out;
}

std::string too_many_positional(std::string_view function, std::size_t required,
                                std::size_t max, std::size_t given) {
  std::string m(function);
  if (required == max) {
    m += " takes " + number(max);
  } else {
    m += " takes from " + number(required) + " to " + number(max);
  }
  m += " positional arguments but " + number(given) + (given == 1 ? " was" : " were") + " given";
  return m;
}

std::string missing_required(std::string_view function,
                             std::span<const std::string_view> missing) {
  std::string m = std::string(function) + " missing " + number(missing.size()) +
                  " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                  ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) m += ",";
      m += " ";
      if (i + 1 == missing.size()) m += "and ";
    }
    m += quoted(missing[i]);
  }
  return m;
}

std::string multiple_values(std::string_view function, std::string_view param) {
  return std::string(function) + " got multiple values for argument " + quoted(param);
}

std::string unexpected_keyword(std::string_view function, std::string_view shown) {
  return std::string(function) + " got an unexpected keyword argument " + quoted(shown);
}

std::string cannot_convert(std::string_view type_name, std::string_view target) {
  return quoted(type_name) + " object cannot be converted to " + quoted(target);
}

std::string argument_prefix(std::string_view name) { return "argument " + quoted(name) + ": "; }

std::string no_bool_conversion(std::string_view type_name) {
  return "object of type " + quoted(type_name) + " does not define a '__bool__' conversion";
}

std::string tuple_length(std::size_t expected, std::size_t got) {
  return "expected tuple of length " + number(expected) + ", but got tuple of length " +
         number(got);
}

std::string class_init_failed(std::string_view class_name) {
  return "An error occurred while initializing class " + std::string(class_name);
}

std::string unprintable(std::optional<std::string_view> type_name) {
  std::string out = "<unprintable ";
  if (type_name) {
    out += *type_name;
    out += ' ';
  }
  out += "object>";
  return out;
}

}  // namespace kestrelite::python::messages
