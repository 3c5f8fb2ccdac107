// What the opt-in options share in reading their values: a file path, and
// an error of the module's own raised "from" the one that caused it, as
// `raise ValueError(...) from error` does.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

// Raises `type(message)` with `cause` as its __cause__ (and context).
[[noreturn]] inline void raise_from(PyObject* type, PyObject* message, const PendingError& cause) {
    PyErr_SetObject(type, message);
    PendingError raised;
    if (cause.get() != nullptr) {
        PyException_SetContext(raised.get(), Py_NewRef(cause.get()));
        PyException_SetCause(raised.get(), Py_NewRef(cause.get()));
    }
    raised.restore();
    throw PyErrorRaised{};
}

[[noreturn]] inline void raise_from(PyObject* type, const char* message, const PendingError& cause) {
    OwnedRef text = check(PyUnicode_FromString(message));
    raise_from(type, text.get(), cause);
}

// A path given as str, bytes or os.PathLike, as text. Anything else raises
// ValueError naming `option` and the value's type, never the value.
inline OwnedRef path_text(PyObject* value, const char* option) {
    OwnedRef path = OwnedRef::steal(PyOS_FSPath(value));
    if (!path) {
        PendingError cause = take_ordinary_error();
        OwnedRef message = check(PyUnicode_FromFormat("%s must be a file path (str, bytes or os.PathLike), not %.100s",
                                                      option, Py_TYPE(value)->tp_name));
        raise_from(PyExc_ValueError, message.get(), cause);
    }
    if (PyBytes_Check(path.get())) {
        return check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path.get()), PyBytes_GET_SIZE(path.get())));
    }
    return path;
}

}  // namespace sftp
