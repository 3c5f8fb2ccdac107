// Module set-up: the definition the interpreter loads, its create and exec
// steps, and the class TavrelSFTPMain built from the method table.
//
// The module is executed once per process and lives in one interpreter
// only: the create step hands back the module object it made before, and the
// exec step runs the module body only for that object, only once.
#include "framework/framework.hpp"
#include "sftp_main/contract/class_methods.hpp"
#include "sftp_main/contract/extension_points.hpp"
#include "sftp_main/names.hpp"

#include <cstdint>
#include <mutex>
#include <vector>

namespace sftp {

namespace {

constexpr const char* kModuleName = "sftp_main";
constexpr const char* kClassName = "TavrelSFTPMain";

// The module belongs to the interpreter whose exec step succeeded; until
// then, to the one that is making it. A failed step leaves no claim, so
// that another interpreter may try afresh.
struct ModuleRecord {
    int64_t maker = -1;      // the interpreter making or owning the module
    PyObject* module = nullptr;  // owned for the life of the process
    bool executed = false;
};
ModuleRecord record;
// Interpreters with a lock of their own may import at the same time.
std::mutex record_mutex;

// The class namespace order: construction, configuration, connection, the
// remote operations, and the finaliser last.
std::vector<const MethodSpec*> class_method_table() {
    std::vector<const MethodSpec*> table = {&init_method, &cleanse_params_method, &set_params_dict_method,
                                            &set_default_params_method, &connect_method, &close_method};
    for (const MethodSpec& operation : operation_methods()) {
        table.push_back(&operation);
    }
    table.push_back(&del_method);
    return table;
}

OwnedRef build_class(PyObject* module_globals) {
    OwnedRef module_name = check(PyUnicode_FromString(kModuleName));
    OwnedRef namespace_dict = check(PyDict_New());
    check_status(PyDict_SetItem(namespace_dict.get(), names.__module__, module_name.get()));
    check_status(PyDict_SetItem(namespace_dict.get(), names.__qualname__, names.TavrelSFTPMain));
    for (const MethodSpec* spec : class_method_table()) {
        OwnedRef method = new_method(*spec, module_globals, module_name.get(), kClassName);
        check_status(PyDict_SetItemString(namespace_dict.get(), spec->name, method.get()));
    }
    OwnedRef no_bases = check(PyTuple_New(0));
    PyObject* type_arguments[] = {names.TavrelSFTPMain, no_bases.get(), namespace_dict.get()};
    return check(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), type_arguments, 3, nullptr));
}

void run_module_body(PyObject* module) {
    intern_names();
    ready_method_type();
    PyObject* module_globals = PyModule_GetDict(module);  // borrowed
    OwnedRef paramiko = check(PyImport_ImportModuleLevel("paramiko", module_globals, nullptr, nullptr, 0));
    check_status(PyDict_SetItem(module_globals, names.paramiko, paramiko.get()));
    framework::import_classes(module_globals);
    OwnedRef cls = build_class(module_globals);
    check_status(PyDict_SetItem(module_globals, names.TavrelSFTPMain, cls.get()));
    points::set_up_module();
}

PyObject* create_module(PyObject* spec, PyModuleDef* /*definition*/) {
    return python_entry([&]() -> OwnedRef {
        const int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
        OwnedRef name = check(PyObject_GetAttrString(spec, "name"));
        std::lock_guard<std::mutex> hold(record_mutex);
        if (record.module != nullptr && record.maker != interpreter_id) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.");
            throw PyErrorRaised{};
        }
        if (record.module != nullptr) {
            return OwnedRef::take(record.module);
        }
        OwnedRef module = check(PyModule_NewObject(name.get()));
        record.module = OwnedRef(module).release();
        record.maker = interpreter_id;
        record.executed = false;
        return module;
    });
}

int exec_module(PyObject* module) {
    if (module != record.module) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'sftp_main' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (record.executed) {
        return 0;
    }
    if (!run_guarded([&] { run_module_body(module); })) {
        // Forget the half-made module and what it made in this interpreter,
        // so that a later import, here or in another interpreter, starts
        // afresh.
        PendingError failure;
        OwnedRef discarded;
        {
            std::lock_guard<std::mutex> hold(record_mutex);
            discarded = OwnedRef::steal(record.module);
            record.module = nullptr;
            record.maker = -1;
        }
        discarded = OwnedRef();
        forget_method_type();
        forget_names();
        failure.restore();
        return -1;
    }
    record.executed = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Declared so that the interpreter lets the create step run in any
    // interpreter; the create step itself refuses every interpreter but the
    // first, with a message of its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "File: sftp_main\n\nTavrelSFTPMain, the framework's SFTP client for one remote server.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace sftp

PyMODINIT_FUNC PyInit_sftp_main() { return PyModuleDef_Init(&sftp::module_definition); }
