#include "sftp_main/policies/transfer_log.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/policies/failure_notes.hpp"

namespace sftp::transfer_log {

namespace {

constexpr long kInfo = 20;  // logging.INFO

OwnedRef logging_module() { return check(PyImport_ImportModule("logging")); }

OwnedRef module_logger(PyObject* logging) {
    return check(PyObject_CallMethod(logging, "getLogger", "s", "sftp_main"));
}

// str(exception), or empty when it has none or cannot give one.
OwnedRef exception_text(PyObject* exception) {
    OwnedRef text = OwnedRef::steal(PyObject_Str(exception));
    if (!text) {
        drop_ordinary_error();
        return check(PyUnicode_FromString(""));
    }
    return text;
}

// "sftp_main: _upload('/nope', 'x') on deploy@files.example:22 returned
// False: FileNotFoundError: [Errno 2] No such file or directory: '/nope'"
// With "retries", "... returned False after 4 attempts: ...".
OwnedRef message_for(const Invocation& call, PyObject* failure, int attempts) {
    OwnedRef described = notes::note_text(call);
    OwnedRef returned = attempts > 0 ? check(PyUnicode_FromFormat("returned False after %d attempt%s", attempts,
                                                                 attempts == 1 ? "" : "s"))
                                     : check(PyUnicode_FromString("returned False"));
    OwnedRef type_name = check(PyType_GetQualName(Py_TYPE(failure)));
    OwnedRef text = exception_text(failure);
    if (PyUnicode_GET_LENGTH(text.get()) == 0 && PyErr_GivenExceptionMatches(failure, PyExc_TimeoutError)) {
        if (OwnedRef reason = notes::timeout_reason(call)) {
            text = std::move(reason);
        }
    }
    if (PyUnicode_GET_LENGTH(text.get()) == 0) {
        return check(PyUnicode_FromFormat("%U %U: %U", described.get(), returned.get(), type_name.get()));
    }
    return check(PyUnicode_FromFormat("%U %U: %U: %U", described.get(), returned.get(), type_name.get(), text.get()));
}

}  // namespace

void install_null_handler() {
    OwnedRef logging = logging_module();
    OwnedRef logger = module_logger(logging.get());
    OwnedRef handler = check(PyObject_CallMethod(logging.get(), "NullHandler", nullptr));
    check(PyObject_CallMethod(logger.get(), "addHandler", "O", handler.get()));
}

void log_returned_false(const Invocation& call, PyObject* failure, int attempts) {
    const bool logged = run_guarded([&] {
        OwnedRef logging = logging_module();
        OwnedRef logger = module_logger(logging.get());
        OwnedRef enabled = check(PyObject_CallMethod(logger.get(), "isEnabledFor", "l", kInfo));
        if (!check_status(PyObject_IsTrue(enabled.get()))) {
            return;
        }
        // The record is all the caller gets of the exception: its exc_info
        // carries the same notes on what to do as a raised one.
        notes::explain_failure(call, failure);
        OwnedRef message = message_for(call, failure, attempts);
        OwnedRef info = check(PyObject_GetAttrString(logger.get(), "info"));
        OwnedRef keywords = check(Py_BuildValue("(s)", "exc_info"));
        PyObject* arguments[] = {message.get(), failure};
        check(PyObject_Vectorcall(info.get(), arguments, 1, keywords.get()));
    });
    if (!logged) {
        drop_ordinary_error();
    }
}

}  // namespace sftp::transfer_log
