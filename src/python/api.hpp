#pragma once
// The interpreter's API as the binding sees it: the stable ABI of 3.9 only, and the checks of
// the binding's own invariants that debug and sanitizer builds make.

#ifndef Py_LIMITED_API
#error "the binding is built for the stable ABI only: define Py_LIMITED_API"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Checks of the binding's own invariants, on in debug and sanitizer builds.
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__)
#define KESTRELITE_CHECKED_BUILD 1
#include <cstdio>
#include <cstdlib>
#define KESTRELITE_ASSERT(cond)                                                            \
  do {                                                                                     \
    if (!(cond)) [[unlikely]] {                                                            \
      std::fprintf(stderr, "%s:%d: broken invariant: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)
#else
#define KESTRELITE_CHECKED_BUILD 0
#define KESTRELITE_ASSERT(cond) ((void)0)
#endif
