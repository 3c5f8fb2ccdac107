#include "sftp_main/globals.hpp"

namespace sftp {

OwnedRef lookup_global(PyObject* module_globals, PyObject* name) {
    PyObject* found = nullptr;
    if (check_status(PyDict_GetItemRef(module_globals, name, &found)) == 1) {
        return OwnedRef::steal(found);
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins != nullptr && check_status(PyMapping_GetOptionalItem(builtins, name, &found)) == 1) {
        return OwnedRef::steal(found);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PyErrorRaised{};
}

}  // namespace sftp
