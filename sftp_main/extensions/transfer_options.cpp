#include "sftp_main/extensions/transfer_options.hpp"

#include "sftp_main/names.hpp"

#include <unordered_map>

namespace sftp::transfers {

namespace {

// Every access happens under the interpreter lock. The map lives for the
// process: at exit it may still hold references that must not be dropped
// after the interpreter is gone.
auto& records = *new std::unordered_map<PyObject*, ClientRecord>();
// The weak reference to each client that has a record.
auto& weak_clients = *new std::unordered_map<PyObject*, OwnedRef>();

PyObject* forget_client(PyObject* key, PyObject* weak_reference) {
    auto* client = static_cast<PyObject*>(PyLong_AsVoidPtr(key));
    auto found = weak_clients.find(client);
    if (found != weak_clients.end() && found->second.get() == weak_reference) {
        weak_clients.erase(found);
        // Moved out first: dropping the record may run Python code.
        auto held = records.extract(client);
    }
    return Py_NewRef(Py_None);
}

PyMethodDef forget_client_definition = {"forget_transfer_options", forget_client, METH_O, nullptr};

OwnedRef optional_setting(PyObject* configuration_owner, const char* name) {
    PyObject* found = nullptr;
    if (check_status(PyObject_GetOptionalAttr(configuration_owner, names._config, &found)) == 0) {
        return {};
    }
    OwnedRef configuration = OwnedRef::steal(found);
    OwnedRef attribute_name = check(PyUnicode_InternFromString(name));
    check_status(PyObject_GetOptionalAttr(configuration.get(), attribute_name.get(), &found));
    return OwnedRef::steal(found);
}

// The referent of a weak reference, or empty once it is gone.
OwnedRef referent(PyObject* weak_reference) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    check_status(PyWeakref_GetRef(weak_reference, &found));
    return OwnedRef::steal(found);
#else
    PyObject* borrowed = PyWeakref_GetObject(weak_reference);
    if (borrowed == nullptr) {
        throw PyErrorRaised{};
    }
    return borrowed == Py_None ? OwnedRef() : OwnedRef::take(borrowed);
#endif
}

}  // namespace

OwnedRef atomic_upload_switch(PyObject* value) {
    return check_status(PyObject_IsTrue(value)) == 1 ? OwnedRef::take(Py_True) : OwnedRef();
}

TransferOptions read_transfer_options(PyObject* configuration_owner) {
    TransferOptions options;
    if (OwnedRef atomic = optional_setting(configuration_owner, "atomic_upload")) {
        options.atomic_upload = static_cast<bool>(atomic_upload_switch(atomic.get()));
    }
    if (OwnedRef progress = optional_setting(configuration_owner, "progress")) {
        if (check_status(PyObject_IsTrue(progress.get())) == 1) {
            if (!PyCallable_Check(progress.get())) {
                PyErr_Format(PyExc_ValueError,
                             "progress must be a callable taking (bytes_done, bytes_total); got %.200R",
                             progress.get());
                throw PyErrorRaised{};
            }
            options.progress = std::move(progress);
        }
    }
    return options;
}

void remember(PyObject* client, const TransferOptions& options, PyObject* timeout) {
    if (auto held = records.extract(client); !held.empty()) {
        weak_clients.erase(client);
    }
    if (!options.any() && timeout == nullptr) {
        return;
    }
    ClientRecord record;
    record.atomic_upload = options.atomic_upload;
    record.timeout = OwnedRef::take(timeout);
    if (options.progress) {
        record.progress = OwnedRef::steal(PyWeakref_NewRef(options.progress.get(), nullptr));
        record.progress_is_weak = static_cast<bool>(record.progress);
        if (!record.progress) {
            PyErr_Clear();
            record.progress = options.progress;
        }
    }
    OwnedRef key = check(PyLong_FromVoidPtr(client));
    OwnedRef callback = check(PyCFunction_New(&forget_client_definition, key.get()));
    OwnedRef weak = OwnedRef::steal(PyWeakref_NewRef(client, callback.get()));
    if (!weak) {
        if (!options.any() && PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return;
        }
        throw PyErrorRaised{};
    }
    weak_clients[client] = std::move(weak);
    records[client] = std::move(record);
}

const ClientRecord* record_of(PyObject* client) noexcept {
    if (records.empty()) {
        return nullptr;
    }
    auto found = records.find(client);
    return found == records.end() ? nullptr : &found->second;
}

OwnedRef progress_of(const ClientRecord& record) {
    if (!record.progress || !record.progress_is_weak) {
        return record.progress;
    }
    return referent(record.progress.get());
}

}  // namespace sftp::transfers
