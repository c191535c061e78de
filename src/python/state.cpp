#include "python/state.hpp"

#include <cstdio>
#include <utility>

#include "python/messages.hpp"

// The stable ABI has this function from 3.10 on, so the headers declare it only for a build
// that targets 3.10. A weak reference is bound by the dynamic loader to the running
// interpreter's own symbol when the module loads, and is null where there is none.
extern "C" [[gnu::weak]] const char* PyUnicode_AsUTF8AndSize(PyObject*, Py_ssize_t*);

namespace kestrelite::python {

ModuleState g_state;

Status init_runtime() {
  const char* version = Py_GetVersion();
  int major = 0, minor = 0;
  if (std::sscanf(version, "%d.%d", &major, &minor) != 2 || major != 3)
    return Error::panic(messages::kUnknownVersion);
  state().runtime.minor = minor;
  // 3.9 exports the function too, outside the stable ABI: it is used only where promised.
  if (minor >= 10) state().runtime.as_utf8_and_size = &PyUnicode_AsUTF8AndSize;
  return Unit{};
}

void reset_state() noexcept {
  ModuleState& s = state();
  // Every reference is taken out of the state before it is dropped: dropping one may run
  // code that reaches the state again.
  const auto drop = [](PyObject*& p) { Py_XDECREF(std::exchange(p, nullptr)); };
  for (PyObject*& t : s.types) drop(t);
  drop(s.panic_type);
  drop(s.sequence_abc);
  for (PyObject*& n : s.diff_attribute_names) drop(n);
  for (KeywordNames& names : s.keyword_names) {
    names.ready = false;
    for (PyObject*& n : names.interned) drop(n);
  }
  s.module = nullptr;
  s.runtime = Runtime();
  std::string().swap(s.statement);
  if (!s.migration_leased) s.migration = core::MigrationText();
}

}  // namespace kestrelite::python
