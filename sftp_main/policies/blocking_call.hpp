// What the policies that touch local files share around a system call: the
// interpreter lock let go while it blocks, and its failure raised as OSError.
#pragma once

#include "sftp_main/ref.hpp"

#include <cerrno>

namespace sftp {

// Runs `body`, which must not throw nor touch Python objects, with the
// interpreter lock released.
template <typename Body>
auto without_interpreter_lock(Body&& body) {
    PyThreadState* state = PyEval_SaveThread();
    auto result = body();
    PyEval_RestoreThread(state);
    return result;
}

// Raises OSError for errno `failure`, naming `filename` (may be null).
[[noreturn]] inline void raise_errno(int failure, PyObject* filename) {
    errno = failure;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw PyErrorRaised{};
}

// Raises OSError(failure, message, filename): the errno of a refusal the
// module makes itself, in its own words.
[[noreturn]] inline void raise_os_error(int failure, PyObject* message, PyObject* filename) {
    PyObject* error = PyObject_CallFunction(PyExc_OSError, "iOO", failure, message, filename);
    if (error != nullptr) {
        PyErr_SetRaisedException(error);
    }
    throw PyErrorRaised{};
}

}  // namespace sftp
