// The configuration Exception's English note, for readers of logs who read
// no Chinese: "Configuration rejected: missing required values: host."
#include "sftp_main/contract/extension_points.hpp"
#include "sftp_main/policies/failure_notes.hpp"

namespace sftp {

namespace {

// `missing`: the names of missing values; `rejected`: [name, allowed] pairs,
// with `rejected_values` and `allowed_texts` in the same order.
OwnedRef english_summary(PyObject* missing, PyObject* rejected, PyObject* rejected_values, PyObject* allowed_texts) {
    OwnedRef parts = check(PyList_New(0));
    OwnedRef comma = check(PyUnicode_FromString(", "));
    if (PyList_GET_SIZE(missing) > 0) {
        OwnedRef texts = check(PyList_New(0));
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(missing); ++index) {
            PyObject* name = PyList_GET_ITEM(missing, index);
            OwnedRef shown = PyUnicode_CheckExact(name) ? OwnedRef::take(name) : check(PyObject_Repr(name));
            check_status(PyList_Append(texts.get(), shown.get()));
        }
        OwnedRef listed = check(PyUnicode_Join(comma.get(), texts.get()));
        check_status(PyList_Append(parts.get(), check(PyUnicode_FromFormat("missing required values: %U", listed.get())).get()));
    }
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(rejected); ++index) {
        PyObject* pair = PyList_GET_ITEM(rejected, index);
        PyObject* name = PyList_GET_ITEM(pair, 0);
        PyObject* value = PyList_GET_ITEM(rejected_values, index);
        OwnedRef shown = notes::shown_setting(name, value);
        PyObject* allowed = PyList_GET_ITEM(allowed_texts, index);
        check_status(PyList_Append(parts.get(), check(PyUnicode_FromFormat("value %U is not allowed for %R (allowed: %U)",
                                                                            shown.get(), name, allowed))
                                                    .get()));
    }
    OwnedRef separator = check(PyUnicode_FromString("; "));
    OwnedRef joined = check(PyUnicode_Join(separator.get(), parts.get()));
    return check(PyUnicode_FromFormat("Configuration rejected: %U.", joined.get()));
}

}  // namespace

void points::configuration_rejected(PyObject* missing, PyObject* rejected, PyObject* rejected_values,
                                    PyObject* allowed_texts) noexcept {
    PendingError raised;
    OwnedRef summary;
    if (!run_guarded([&] { summary = english_summary(missing, rejected, rejected_values, allowed_texts); })) {
        PyErr_Clear();  // the note is a courtesy; the error itself stands
    }
    raised.restore();
    if (summary) {
        notes::add_note(summary.get());
    }
}

}  // namespace sftp
