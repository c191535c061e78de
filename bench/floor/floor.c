/*
 * _kestrelite_floor: the cheapest possible method call, for the benchmark's "floor" rows.
 *
 * Floor().noop(...) accepts any arguments and returns None without looking at them;
 * Floor().noop0() takes none. The class is a heap type made by PyType_FromSpec and the methods use
 * the calling convention _kestrelite_rs picks on the running interpreter (the vector
 * convention with keywords from 3.10, the tuple-and-dict one on 3.9), so a floor row costs
 * exactly what the interpreter spends on reaching a method of the module, and nothing else.
 *
 * Built against the limited API of 3.9: one .abi3.so serves every interpreter from 3.9 on.
 */
#define Py_LIMITED_API 0x03090000
#include <Python.h>

#include <stdio.h>

/* The vector convention joined the stable ABI in 3.10; the 3.9 headers do not name it. */
#define FLOOR_METH_FASTCALL 0x0080

typedef PyObject *(*VectorMethod)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

static PyObject *noop_vector(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
  (void)self;
  (void)args;
  (void)nargs;
  (void)kwnames;
  Py_INCREF(Py_None);
  return Py_None;
}

static PyObject *noop_tuple(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  (void)args;
  (void)kwargs;
  Py_INCREF(Py_None);
  return Py_None;
}

static PyObject *noop_none(PyObject *self, PyObject *unused) {
  (void)self;
  (void)unused;
  Py_INCREF(Py_None);
  return Py_None;
}

/* noop's entry and flags are filled in by the init function, once the version is known. */
static PyMethodDef floor_methods[] = {
    {"noop", NULL, 0, "noop($self, *args, **kwargs)\n--\n\nReturns None."},
    {"noop0", noop_none, METH_NOARGS, "noop0($self)\n--\n\nReturns None."},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_tp_doc, (void *)"Floor()\n--\n\n"},
    {Py_tp_new, (void *)PyType_GenericNew},
    {Py_tp_methods, floor_methods},
    {0, NULL},
};

static PyType_Spec floor_spec = {
    "_kestrelite_floor.Floor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, floor_slots,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_kestrelite_floor", "", -1, NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__kestrelite_floor(void) {
  int major = 0, minor = 0;
  if (sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2 || major != 3) {
    PyErr_SetString(PyExc_ImportError, "unrecognised interpreter version");
    return NULL;
  }
  if (minor >= 10) {
    floor_methods[0].ml_meth = (PyCFunction)(void (*)(void))(VectorMethod)noop_vector;
    floor_methods[0].ml_flags = FLOOR_METH_FASTCALL | METH_KEYWORDS;
  } else {
    floor_methods[0].ml_meth = (PyCFunction)(void (*)(void))noop_tuple;
    floor_methods[0].ml_flags = METH_VARARGS | METH_KEYWORDS;
  }
  PyObject *module = PyModule_Create(&floor_module);
  if (!module) return NULL;
  PyObject *type = PyType_FromSpec(&floor_spec);
  if (!type || PyModule_AddObject(module, "Floor", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return NULL;
  }
  PyObject *fastcall = minor >= 10 ? Py_True : Py_False;
  Py_INCREF(fastcall);
  if (PyModule_AddObject(module, "VECTOR_CALLS", fastcall) < 0) {
    Py_DECREF(fastcall);
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
