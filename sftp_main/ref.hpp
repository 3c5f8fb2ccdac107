// Reference ownership and error carrying for the C API.
//
// Ownership rules:
//  - OwnedRef holds one strong reference and drops it when destroyed. It is
//    built from a *new* reference (what most C API calls return); passing it
//    a borrowed pointer is a bug. Copying takes another reference, moving
//    transfers the one it holds.
//  - A plain `PyObject*` parameter or member is a borrowed reference: valid
//    only while its owner keeps it alive, never decref'd by the receiver.
//  - release() hands the reference to a C API caller that steals or returns
//    it, and leaves the OwnedRef empty.
//
// Errors: a C API call that fails leaves a Python exception set and returns
// NULL or -1. `check` turns that into a PyErrorRaised C++ exception, which
// unwinds (dropping every OwnedRef on the way) to the entry point, where the
// still-set Python exception is handed back to the interpreter.
#pragma once

#include "sftp_main/compat.hpp"  // Python.h, and what 3.12 lacks of it

#include <exception>
#include <new>
#include <utility>

namespace sftp {

// Thrown only while a Python exception is set; carries nothing itself.
struct PyErrorRaised {};

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    static OwnedRef steal(PyObject* new_reference) noexcept { return OwnedRef(new_reference); }
    static OwnedRef take(PyObject* borrowed) noexcept { return OwnedRef(Py_XNewRef(borrowed)); }

    OwnedRef(const OwnedRef& other) noexcept : object_(Py_XNewRef(other.object_)) {}
    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    // Once the interpreter is shutting down, a daemon thread that asks for
    // the interpreter lock is ended with pthread_exit, which unwinds its
    // stack through here without the lock (see run_guarded). A reference
    // dropped then could free an object under the feet of the finalising
    // thread; the process is ending, so it is left for the exit instead.
    ~OwnedRef() {
        if (object_ != nullptr && !Py_IsFinalizing()) {
            Py_DECREF(object_);
        }
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Takes ownership of a new reference, or throws when the call that produced
// it failed.
inline OwnedRef check(PyObject* new_reference) {
    if (new_reference == nullptr) {
        throw PyErrorRaised{};
    }
    return OwnedRef::steal(new_reference);
}

// For C API calls that report failure as -1.
inline int check_status(int status) {
    if (status < 0) {
        throw PyErrorRaised{};
    }
    return status;
}

// Runs `body` and turns any C++ exception back into a Python error: the
// boundary every entry point called by the interpreter goes through. False
// when `body` failed, the Python exception then being set.
//
// Neither noexcept nor catch-all, for one reason: a daemon thread that asks
// for the interpreter lock after shutdown has begun is ended by the
// interpreter with pthread_exit, which unwinds the thread's stack with an
// exception of its own. That must pass on through: glibc aborts the process
// when it is swallowed, and so does a noexcept frame.
template <typename Body>
bool run_guarded(Body&& body) {
    try {
        body();
        return true;
    } catch (const PyErrorRaised&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception&) {
        PyErr_SetString(PyExc_SystemError, "sftp_main: unexpected C++ exception");
    }
    return false;
}

// The same for entry points that return a new reference (NULL on failure).
// A body may also report failure by returning an empty OwnedRef with the
// Python exception set, where a throw would cost too much on a common path.
template <typename Body>
PyObject* python_entry(Body&& body) {
    PyObject* result = nullptr;
    run_guarded([&] { result = body().release(); });
    return result;
}

// Owns a Python exception taken out of the interpreter's error indicator, so
// that other calls can run before it is either restored or dropped.
class PendingError {
public:
    PendingError() noexcept : exception_(OwnedRef::steal(PyErr_GetRaisedException())) {}
    void restore() noexcept { PyErr_SetRaisedException(exception_.release()); }
    PyObject* get() const noexcept { return exception_.get(); }

private:
    OwnedRef exception_;
};

// Clears the exception being raised when it is a `type`; anything else
// (Ctrl-C above all) goes on up as it is.
inline void drop_error_of(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) {
        throw PyErrorRaised{};
    }
    PyErr_Clear();
}

// The same for any ordinary exception (an Exception).
inline void drop_ordinary_error() { drop_error_of(PyExc_Exception); }

// The exception being raised, taken when it is an ordinary one; anything
// else (Ctrl-C) goes on as it is.
inline PendingError take_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        throw PyErrorRaised{};
    }
    return PendingError{};
}

}  // namespace sftp
