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

// An int's value as a long long; raises what the conversion raises.
inline long long as_long_long(PyObject* number) {
    const long long value = PyLong_AsLongLong(number);
    if (value == -1 && PyErr_Occurred()) {
        throw PyErrorRaised{};
    }
    return value;
}

// What format(value, "") gives: a text unchanged, an integer as its digits.
inline OwnedRef text_form(PyObject* value) {
    OwnedRef empty_spec = check(PyUnicode_FromString(""));
    return check(PyObject_Format(value, empty_spec.get()));
}

}  // namespace sftp
