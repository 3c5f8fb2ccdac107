#include "sftp_main/policies/host_key_mismatch.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/globals.hpp"
#include "sftp_main/names.hpp"

namespace sftp {

namespace {

// paramiko's BadHostKeyException prints both keys in base64; a subclass
// prints the fingerprints instead, and still carries the hostname and the
// server's key as paramiko's does. It is made once for the class paramiko
// names, and kept for the life of the process, as the module is.
PyObject* mismatch_class_for(PyObject* base) {
    static PyObject* made_for = nullptr;
    static PyObject* made = nullptr;
    if (base != made_for) {
        OwnedRef bases = check(PyTuple_Pack(1, base));
        OwnedRef body = check(PyDict_New());
        OwnedRef plain_str = check(PyObject_GetAttrString(PyExc_BaseException, "__str__"));
        check_status(PyDict_SetItemString(body.get(), "__str__", plain_str.get()));
        OwnedRef module_name = check(PyUnicode_FromString("sftp_main"));
        check_status(PyDict_SetItemString(body.get(), "__module__", module_name.get()));
        OwnedRef fresh = check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                                     "HostKeyMismatch", bases.get(), body.get()));
        OwnedRef previous = OwnedRef::steal(made);
        OwnedRef previous_base = OwnedRef::steal(made_for);
        made = fresh.release();
        made_for = Py_NewRef(base);
    }
    return made;
}

}  // namespace

[[noreturn]] void raise_host_key_mismatch(PyObject* module_globals, PyObject* hostname, PyObject* server_key,
                                          PyObject* message) {
    OwnedRef base = paramiko_attribute(module_globals, names.BadHostKeyException);
    PyObject* mismatch_class = mismatch_class_for(base.get());
    OwnedRef error = check(PyObject_CallFunctionObjArgs(mismatch_class, hostname, server_key, Py_None, nullptr));
    OwnedRef args = check(PyTuple_Pack(1, message));
    check_status(PyObject_SetAttr(error.get(), names.args, args.get()));
    PyErr_SetRaisedException(error.release());
    throw PyErrorRaised{};
}

}  // namespace sftp
