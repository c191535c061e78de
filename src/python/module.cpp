// Module entry: binds the module to the first interpreter that imports it, builds the module
// object once for each lifetime of that interpreter and registers the four classes.

#include <cstdint>

#include "python/binding.hpp"
#include "python/classes.hpp"

namespace kestrelite::python {
namespace {

/// The interpreter frees the module at its finalisation (or when the last reference to it
/// goes): the state made for it goes with it.
void free_module(void* module) noexcept {
  if (module == state().module) reset_state();
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_kestrelite_rs", "", 0, nullptr, nullptr, nullptr, nullptr,
    &free_module,
};

/// Appends the class to __all__ and sets it as a module attribute.
Status register_class(PyObject* module, ClassDef& def) {
  Result<PyObject*> type = class_type(def);
  if (!type) {
    Owned cause = std::move(type).error().into_exception();
    if (!cause) return fetch_error();
    std::string text = messages::class_init_failed(def.name);
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
  if (!PyList_Check(all.get())) return conversion_error(all.get(), messages::kToList);
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
  ModuleState& s = state();
  // Every import runs with the GIL held, and nothing here releases it before the claim.
  if (s.owner_interpreter == -1) s.owner_interpreter = id;
  if (s.owner_interpreter != id) {
    return Error::message(PyExc_ImportError, messages::kSubinterpreters);
  }
  if (s.module) return Owned::borrow(s.module);
  KESTRELITE_CHECK(init_runtime());
  Owned module = Owned::steal(PyModule_Create2(&g_module_def, 3));
  if (!module) return fetch_error();
  for (ClassDef* def : {&g_state_tracker_class, &g_query_compiler_class,
                        &g_batch_aggregator_class, &g_schema_diff_engine_class}) {
    KESTRELITE_CHECK(register_class(module.get(), *def));
  }
  if (s.module) return Owned::borrow(s.module);  // an interleaved import finished first
  s.module = module.get();
  return module;
}

}  // namespace
}  // namespace kestrelite::python

PyMODINIT_FUNC PyInit__kestrelite_rs(void) {
  return kestrelite::python::barrier(kestrelite::python::init_module);
}
