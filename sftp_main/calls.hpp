// The few C API calls every part of the class makes, in their owning,
// throwing form.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

inline OwnedRef none() { return OwnedRef::take(Py_None); }

// The interpreter's truth test.
inline bool is_true(PyObject* value) { return check_status(PyObject_IsTrue(value)) == 1; }

// object.<name>
inline OwnedRef attribute(PyObject* object, PyObject* name) { return check(PyObject_GetAttr(object, name)); }

// object.<name>()
inline OwnedRef call_method(PyObject* object, PyObject* name) {
    return check(PyObject_CallMethodNoArgs(object, name));
}

// What format(value, "") gives: a text unchanged, an integer as its digits.
inline OwnedRef text_form(PyObject* value) {
    OwnedRef empty_spec = check(PyUnicode_FromString(""));
    return check(PyObject_Format(value, empty_spec.get()));
}

}  // namespace sftp
