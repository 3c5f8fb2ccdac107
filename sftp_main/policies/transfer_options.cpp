#include "sftp_main/policies/transfer_options.hpp"

#include "sftp_main/policies/connection_options.hpp"
#include "sftp_main/names.hpp"

namespace sftp::transfers {

OwnedRef atomic_upload_switch(PyObject* value) {
    return check_status(PyObject_IsTrue(value)) == 1 ? OwnedRef::take(Py_True) : OwnedRef();
}

TransferOptions read_transfer_options(PyObject* configuration_owner) {
    TransferOptions options;
    if (OwnedRef atomic = optional_setting(configuration_owner, names.atomic_upload)) {
        options.atomic_upload = static_cast<bool>(atomic_upload_switch(atomic.get()));
    }
    if (OwnedRef progress = optional_setting(configuration_owner, names.progress)) {
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
    clients::Entry& entry = clients::entry_of(client);
    if (clients::is_shared(entry)) {
        if (options.any()) {
            PyErr_Format(PyExc_TypeError, "cannot create weak reference to '%.100s' object", Py_TYPE(client)->tp_name);
            throw PyErrorRaised{};
        }
        return;  // a timeout alone is dropped quietly
    }
    // Moved out first: dropping an earlier record may run Python code.
    std::optional<ClientRecord> earlier = std::move(entry.transfers);
    entry.transfers.reset();
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
    entry.transfers = std::move(record);
}

const ClientRecord* record_of(PyObject* client) noexcept {
    const clients::Entry* entry = clients::existing_entry(client);
    return entry != nullptr && entry->transfers ? &*entry->transfers : nullptr;
}

OwnedRef progress_of(const ClientRecord& record) {
    if (!record.progress || !record.progress_is_weak) {
        return record.progress;
    }
    PyObject* found = nullptr;
    check_status(PyWeakref_GetRef(record.progress.get(), &found));
    return OwnedRef::steal(found);
}

}  // namespace sftp::transfers
