#include "sftp_main/globals.hpp"

#include "sftp_main/names.hpp"

namespace sftp {

namespace {

// The builtins a Python function defined in this module would see: those
// its namespace names under __builtins__, else the interpreter's own. Never
// the caller's frame's.
OwnedRef module_builtins(PyObject* module_globals) {
    PyObject* named = nullptr;
    if (check_status(PyDict_GetItemStringRef(module_globals, "__builtins__", &named)) == 1) {
        OwnedRef builtins = OwnedRef::steal(named);
        if (PyModule_Check(builtins.get())) {
            return OwnedRef::take(PyModule_GetDict(builtins.get()));
        }
        return builtins;
    }
    OwnedRef builtins_name = check(PyUnicode_FromString("builtins"));
    OwnedRef builtins_module = OwnedRef::steal(PyImport_GetModule(builtins_name.get()));
    if (!builtins_module) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "the builtins module is gone");
        }
        throw PyErrorRaised{};
    }
    return OwnedRef::take(PyModule_GetDict(builtins_module.get()));
}

[[noreturn]] void raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    PendingError error;
    // As the interpreter does, so that tools that read NameError.name work.
    check_status(PyObject_SetAttrString(error.get(), "name", name));
    error.restore();
    throw PyErrorRaised{};
}

}  // namespace

OwnedRef lookup_global(PyObject* module_globals, PyObject* name) {
    PyObject* found = nullptr;
    if (check_status(PyDict_GetItemRef(module_globals, name, &found)) == 1) {
        return OwnedRef::steal(found);
    }
    OwnedRef builtins = module_builtins(module_globals);
    if (check_status(PyMapping_GetOptionalItem(builtins.get(), name, &found)) == 1) {
        return OwnedRef::steal(found);
    }
    raise_name_error(name);
}

OwnedRef paramiko_attribute(PyObject* module_globals, PyObject* name) {
    OwnedRef paramiko = lookup_global(module_globals, names.paramiko);
    return check(PyObject_GetAttr(paramiko.get(), name));
}

}  // namespace sftp
