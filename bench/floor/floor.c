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
#define _GNU_SOURCE 1
#define Py_LIMITED_API 0x03090000
#include <Python.h>

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

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

/*
 * Floor().strs(...) does the part of a statement builder's work that only the interpreter can
 * do: it reads the UTF-8 form of every str it is given (directly, in a list or tuple, or in a
 * tuple inside one) and returns one new str as long as all of them together. Beside noop, it
 * shows how much of a builder's cost is reading strs and making the result.
 */
static int strs_minor;

static Py_ssize_t read_utf8(PyObject *s) {
  if (strs_minor >= 10) {
    /* In the stable ABI from 3.10, so the 3.9 headers do not declare it. */
    typedef const char *(*AsUtf8AndSize)(PyObject *, Py_ssize_t *);
    static AsUtf8AndSize as_utf8;
    if (!as_utf8) as_utf8 = (AsUtf8AndSize)dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize");
    if (!as_utf8) {
      PyErr_SetString(PyExc_RuntimeError, "PyUnicode_AsUTF8AndSize not found");
      return -1;
    }
    Py_ssize_t size = 0;
    return as_utf8(s, &size) ? size : -1;
  }
  PyObject *bytes = PyUnicode_AsUTF8String(s);
  if (!bytes) return -1;
  const Py_ssize_t size = PyBytes_Size(bytes);
  Py_DECREF(bytes);
  return size;
}

static Py_ssize_t read_any(PyObject *obj, int depth) {
  if (PyUnicode_CheckExact(obj)) return read_utf8(obj);
  const int list = PyList_CheckExact(obj);
  if (depth < 2 && (list || PyTuple_CheckExact(obj))) {
    const Py_ssize_t n = list ? PyList_Size(obj) : PyTuple_Size(obj);
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      const Py_ssize_t got = read_any(list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i),
                                      depth + 1);
      if (got < 0) return -1;
      total += got;
    }
    return total;
  }
  return 0;
}

static PyObject *made_str(Py_ssize_t total) {
  static char text[4096];
  if (!text[0]) memset(text, 'x', sizeof text);
  return PyUnicode_FromStringAndSize(text, total < (Py_ssize_t)sizeof text ? total : 4095);
}

/* Reads every argument of a vector call and returns the total UTF-8 size, or -1 with an
 * exception; *third is the third value in call order (positional or keyword), or NULL. */
static Py_ssize_t read_vector(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                              PyObject **third) {
  nargs &= ~((Py_ssize_t)1 << (8 * sizeof(Py_ssize_t) - 1));
  if (kwnames) nargs += PyTuple_Size(kwnames);
  *third = nargs > 2 ? args[2] : NULL;
  Py_ssize_t total = 0;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    const Py_ssize_t got = read_any(args[i], 0);
    if (got < 0) return -1;
    total += got;
  }
  return total;
}

/* The same for a call with a tuple and a dict. */
static Py_ssize_t read_tuple(PyObject *args, PyObject *kwargs, PyObject **third) {
  Py_ssize_t total = read_any(args, -1);
  if (total < 0) return -1;
  Py_ssize_t index = PyTuple_Size(args);
  *third = index > 2 ? PyTuple_GetItem(args, 2) : NULL;
  if (kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const Py_ssize_t got = read_any(value, 0);
      if (got < 0) return -1;
      total += got;
      if (index++ == 2) *third = value;
    }
  }
  return total;
}

static PyObject *strs_vector(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
  (void)self;
  PyObject *third;
  const Py_ssize_t total = read_vector(args, nargs, kwnames, &third);
  return total < 0 ? NULL : made_str(total);
}

static PyObject *strs_tuple(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  PyObject *third;
  const Py_ssize_t total = read_tuple(args, kwargs, &third);
  return total < 0 ? NULL : made_str(total);
}

/*
 * Floor().strs_pair(...) is strs for a select: the same reading, and the result a select
 * returns, a tuple of the one str and a new list of the last item of every tuple in the
 * third argument (the condition values), whether that argument came by position or keyword.
 */
static PyObject *made_pair(Py_ssize_t total, PyObject *conditions) {
  PyObject *text = made_str(total);
  if (!text) return NULL;
  const Py_ssize_t n = conditions && PyList_CheckExact(conditions) ? PyList_Size(conditions) : 0;
  PyObject *values = PyList_New(n);
  if (!values) {
    Py_DECREF(text);
    return NULL;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *row = PyList_GetItem(conditions, i);
    PyObject *value = PyTuple_CheckExact(row) && PyTuple_Size(row) > 0
                          ? PyTuple_GetItem(row, PyTuple_Size(row) - 1)
                          : Py_None;
    Py_INCREF(value);
    PyList_SetItem(values, i, value);
  }
  PyObject *pair = PyTuple_Pack(2, text, values);
  Py_DECREF(text);
  Py_DECREF(values);
  return pair;
}

static PyObject *strs_pair_vector(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames) {
  (void)self;
  PyObject *conditions;
  const Py_ssize_t total = read_vector(args, nargs, kwnames, &conditions);
  return total < 0 ? NULL : made_pair(total, conditions);
}

static PyObject *strs_pair_tuple(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  PyObject *conditions;
  const Py_ssize_t total = read_tuple(args, kwargs, &conditions);
  return total < 0 ? NULL : made_pair(total, conditions);
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
    {"strs", NULL, 0, "strs($self, *args, **kwargs)\n--\n\nReads every str; returns one."},
    {"strs_pair", NULL, 0,
     "strs_pair($self, *args, **kwargs)\n--\n\nReads every str; returns one and a list."},
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
  strs_minor = minor;
  if (minor >= 10) {
    floor_methods[0].ml_meth = (PyCFunction)(void (*)(void))(VectorMethod)noop_vector;
    floor_methods[0].ml_flags = FLOOR_METH_FASTCALL | METH_KEYWORDS;
    floor_methods[2].ml_meth = (PyCFunction)(void (*)(void))(VectorMethod)strs_vector;
    floor_methods[2].ml_flags = FLOOR_METH_FASTCALL | METH_KEYWORDS;
    floor_methods[3].ml_meth = (PyCFunction)(void (*)(void))(VectorMethod)strs_pair_vector;
    floor_methods[3].ml_flags = FLOOR_METH_FASTCALL | METH_KEYWORDS;
  } else {
    floor_methods[0].ml_meth = (PyCFunction)(void (*)(void))noop_tuple;
    floor_methods[0].ml_flags = METH_VARARGS | METH_KEYWORDS;
    floor_methods[2].ml_meth = (PyCFunction)(void (*)(void))strs_tuple;
    floor_methods[2].ml_flags = METH_VARARGS | METH_KEYWORDS;
    floor_methods[3].ml_meth = (PyCFunction)(void (*)(void))strs_pair_tuple;
    floor_methods[3].ml_flags = METH_VARARGS | METH_KEYWORDS;
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
