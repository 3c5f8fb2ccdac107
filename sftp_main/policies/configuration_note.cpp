#include "sftp_main/policies/configuration_note.hpp"

#include "sftp_main/policies/failure_notes.hpp"

namespace sftp::notes {

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
        OwnedRef shown = shown_setting(name, value);
        PyObject* allowed = PyList_GET_ITEM(allowed_texts, index);
        check_status(PyList_Append(parts.get(), check(PyUnicode_FromFormat("value %U is not allowed for %R (allowed: %U)",
                                                                            shown.get(), name, allowed))
                                                    .get()));
    }
    OwnedRef separator = check(PyUnicode_FromString("; "));
    OwnedRef joined = check(PyUnicode_Join(separator.get(), parts.get()));
    return check(PyUnicode_FromFormat("Configuration rejected: %U.", joined.get()));
}

}  // namespace sftp::notes
