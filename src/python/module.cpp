// Module entry: binds the module to the first interpreter that imports it, builds the module
// object once and registers the four classes.

#include <atomic>
#include <cstdint>

#include "python/binding.hpp"
#include "python/classes.hpp"

namespace kestrelite::python {
namespace {

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_kestrelite_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

/// Appends the class to __all__ and sets it as a module attribute.
Status register_class(PyObject* module, ClassDef& def) {
  Result<PyObject*> type = class_type(def);
  if (!type) {
    Owned cause = std::move(type).error().into_exception();
    if (!cause) return fetch_error();
    std::string text = std::string("An error occurred while initializing class ") + def.name;
    Owned message = Owned::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message) return fetch_error();
    Owned error =
        Owned::steal(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, message.get(), nullptr));
    if (!error) return fetch_error();
    PyException_SetCause(error.get(), cause.release());  // steals the cause
    return Error::fetched(Owned::borrow(PyExc_RuntimeError), std::move(error), Owned());
  }
  Owned all = Owned::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fetch_error();
    PyErr_Clear();
    all = Owned::steal(PyList_New(0));
    if (!all) return fetch_error();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fetch_error();
  }
  if (!PyList_Check(all.get())) return conversion_error(all.get(), "PyList");
  Owned name = Owned::steal(PyUnicode_FromString(def.name));
  if (!name) return fetch_error();
  if (PyList_Append(all.get(), name.get()) < 0) return fetch_error();
  if (PyObject_SetAttrString(module, def.name, *type) < 0) return fetch_error();
  return Unit{};
}

Result<Owned> init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) return fetch_error();
  std::int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    return Error::message(PyExc_ImportError,
                          "_kestrelite_rs: single-interpreter extension modules do not yet "
                          "support subinterpreters");
  }
  if (g_module) return Owned::borrow(g_module);
  KESTRELITE_CHECK(init_runtime());
  Owned module = Owned::steal(PyModule_Create2(&g_module_def, 3));
  if (!module) return fetch_error();
  for (ClassDef* def : {&g_state_tracker_class, &g_query_compiler_class,
                        &g_batch_aggregator_class, &g_schema_diff_engine_class}) {
    KESTRELITE_CHECK(register_class(module.get(), *def));
  }
  if (g_module) return Owned::borrow(g_module);  // an interleaved import finished first
  g_module = Owned::borrow(module.get()).release();
  return module;
}

}  // namespace
}  // namespace kestrelite::python

extern "C" PyMODINIT_FUNC PyInit__kestrelite_rs(void) {
  return kestrelite::python::barrier(kestrelite::python::init_module);
}
