// The one place that includes the CPython and NumPy headers. Every binding
// source includes this first. The NumPy C API table is imported once, by
// module.cpp at module execution; all other sources refer to it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL qor_kernel_ARRAY_API
#ifndef QOR_IMPORT_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
