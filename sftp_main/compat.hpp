// Python.h, plus the few functions of the public C API that the module uses
// from Python 3.13 on, written for 3.12 from its own public API with the
// same contracts. The lookups return 1 and a new reference when found,
// 0 and NULL when not, -1 with the exception set on error.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000

inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(dict, key);  // borrowed
    *result = Py_XNewRef(item);
    if (item != nullptr) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

inline int PyDict_GetItemStringRef(PyObject* dict, const char* key, PyObject** result) {
    PyObject* key_object = PyUnicode_FromString(key);
    if (key_object == nullptr) {
        *result = nullptr;
        return -1;
    }
    const int found = PyDict_GetItemRef(dict, key_object, result);
    Py_DECREF(key_object);
    return found;
}

inline int PyObject_GetOptionalAttr(PyObject* object, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(object, name);
    if (*result != nullptr) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

inline int PyMapping_GetOptionalItem(PyObject* mapping, PyObject* key, PyObject** result) {
    *result = PyObject_GetItem(mapping, key);
    if (*result != nullptr) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

inline int PyWeakref_GetRef(PyObject* reference, PyObject** result) {
    PyObject* object = PyWeakref_GetObject(reference);  // borrowed
    *result = (object == nullptr || object == Py_None) ? nullptr : Py_NewRef(object);
    return object == nullptr ? -1 : (*result != nullptr ? 1 : 0);
}

// 3.12 clears its "initialized" flag at the moment it marks the runtime as
// finalizing, and does not set it again.
inline int Py_IsFinalizing() { return !Py_IsInitialized(); }

#endif
