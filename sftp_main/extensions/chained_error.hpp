// Raising an error of the module's own "from" the one that caused it, as
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

}  // namespace sftp
