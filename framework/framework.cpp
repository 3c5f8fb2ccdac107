#include "framework/framework.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/globals.hpp"
#include "sftp_main/names.hpp"

namespace sftp::framework {

namespace {

// `from <module_name> import <class_name>`, bound in the module namespace.
void import_class(PyObject* module_globals, const char* module_name, PyObject* class_name) {
    OwnedRef module = check(PyImport_ImportModuleLevel(module_name, module_globals, nullptr, nullptr, 0));
    PyObject* found = nullptr;
    if (check_status(PyObject_GetOptionalAttr(module.get(), class_name, &found)) == 0) {
        PyErr_Format(PyExc_ImportError, "cannot import name %R", class_name);
        throw PyErrorRaised{};
    }
    OwnedRef imported = OwnedRef::steal(found);
    check_status(PyDict_SetItem(module_globals, class_name, imported.get()));
}

}  // namespace

void import_classes(PyObject* module_globals) {
    import_class(module_globals, "tavrel_log", names.TavrelLog);
    import_class(module_globals, "tavrel_ssh", names.TavrelSSH);
    import_class(module_globals, "tavrel_var", names.TavrelVar);
}

OwnedRef new_logger(PyObject* module_globals) {
    OwnedRef logger_class = lookup_global(module_globals, names.TavrelLog);
    OwnedRef keywords = check(PyTuple_Pack(1, names.file));
    PyObject* arguments[] = {Py_False};
    return check(PyObject_Vectorcall(logger_class.get(), arguments, 0, keywords.get()));
}

OwnedRef new_configuration(PyObject* module_globals, PyObject* entries) {
    OwnedRef variable_class = lookup_global(module_globals, names.TavrelVar);
    OwnedRef no_arguments = check(PyTuple_New(0));
    return check(PyObject_Call(variable_class.get(), no_arguments.get(), entries));
}

OwnedRef configuration_get(PyObject* configuration, PyObject* name) {
    return check(PyObject_CallMethodOneArg(configuration, names.get, name));
}

OwnedRef ssh_configuration(PyObject* module_globals, PyObject* instance,
                           const std::function<void(PyObject* mapping)>& inspect) {
    OwnedRef ssh_class = lookup_global(module_globals, names.TavrelSSH);
    OwnedRef configuration = attribute(instance, names._config);
    OwnedRef mapping = call_method(configuration.get(), names.todict);
    inspect(mapping.get());
    OwnedRef ssh = check(PyObject_CallOneArg(ssh_class.get(), mapping.get()));
    return call_method(ssh.get(), names.connect);
}

}  // namespace sftp::framework
