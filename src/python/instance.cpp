#include "python/instance.hpp"

#include <algorithm>
#include <string_view>

namespace kestrelite::python {

namespace {

/// The class's method table, made once for the process: the calling convention it names is
/// the running interpreter's, the same in each of its lifetimes.
PyMethodDef* method_table(ClassDef& def) {
  if (def.method_table) return def.method_table;
  auto* table = new PyMethodDef[def.methods.size() + 1]();
  for (std::size_t i = 0; i < def.methods.size(); ++i) {
    const MethodEntry& m = def.methods[i];
    PyMethodDef& out = table[i];
    out.ml_name = m.name;
    out.ml_doc = m.doc;
    if (!m.vector_entry) {
      out.ml_meth = m.tuple_entry;
      out.ml_flags = METH_NOARGS | m.extra_flags;
    } else if (state().runtime.fastcall()) {
      constexpr int kMethFastcall = 0x0080;  // in the stable ABI from 3.10
      out.ml_meth = m.vector_entry;
      out.ml_flags = kMethFastcall | METH_KEYWORDS | m.extra_flags;
    } else {
      out.ml_meth = m.tuple_entry;
      out.ml_flags = METH_VARARGS | METH_KEYWORDS | m.extra_flags;
    }
  }
  def.method_table = table;
  return table;
}

}  // namespace

Result<PyObject*> class_type(ClassDef& def) {
  PyObject*& slot = state().types[static_cast<std::size_t>(def.id)];
  if (slot) return slot;
  constexpr std::string_view kPrefix = "builtins.";
  const std::string_view name = def.name;
  if (kPrefix.size() + name.size() >= def.spec_name.size())
    return Error::message(PyExc_SystemError, messages::kClassNameTooLong);
  std::copy(kPrefix.begin(), kPrefix.end(), def.spec_name.begin());
  std::copy(name.begin(), name.end(), def.spec_name.begin() + kPrefix.size());
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(def.doc)},
      {Py_tp_new, reinterpret_cast<void*>(def.tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(def.tp_dealloc)},
      {Py_tp_methods, method_table(def)},
      {0, nullptr},
  };
  PyType_Spec spec{def.spec_name.data(), def.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (!type) return fetch_error();
  if (slot) {
    Py_DECREF(type);
  } else {
    slot = type;
  }
  return slot;
}

}  // namespace kestrelite::python
