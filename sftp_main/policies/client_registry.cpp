#include "sftp_main/policies/client_registry.hpp"

#include <unistd.h>
#include <unordered_map>

namespace sftp::clients {

namespace {

// Every access happens under the interpreter lock. Entries are never moved
// (node-based map), so a pointer to one stays valid while its client lives,
// also across a wait that releases the interpreter lock.
//
// Both live for the process: at exit the map's entries may still hold
// references that must not be dropped after the interpreter is gone.
auto& entries = *new std::unordered_map<PyObject*, Entry>();
Entry& shared_entry = *new Entry();

// Called by the weak reference when its client goes; `key` holds the
// client's address.
PyObject* forget_client(PyObject* key, PyObject* weak_reference) {
    auto* client = static_cast<PyObject*>(PyLong_AsVoidPtr(key));
    auto found = entries.find(client);
    if (found != entries.end() && found->second.weak_reference.get() == weak_reference) {
        if (detail::cached_client == client) {
            detail::cached_client = nullptr;
            detail::cached_entry = nullptr;
        }
        // Dropped after the erase: the options may hold what runs Python code.
        std::shared_ptr<const Options> options = std::move(found->second.options);
        entries.erase(found);
    }
    return Py_NewRef(Py_None);
}

PyMethodDef forget_client_definition = {"forget_client", forget_client, METH_O, nullptr};

// Run by the interpreter in the child just after a fork, holding the
// interpreter lock, so that no entry is being changed. Every connected
// client is kept from here on, however the child lets go of it: dropping
// it, or replacing it by a new connection, would run paramiko's finalisers.
PyObject* free_locks(PyObject* /*unused*/, PyObject* /*unused*/) {
    for (auto& item : entries) {
        Entry& entry = item.second;
        entry.mutex.reset_after_fork();
        if (entry.connected_in != 0 && !entry.left_to_parent) {
            PyObject* client = nullptr;
            if (PyWeakref_GetRef(entry.weak_reference.get(), &client) > 0) {
                entry.left_to_parent = OwnedRef::steal(client);
            }
        }
    }
    return Py_NewRef(Py_None);
}

PyMethodDef free_locks_definition = {"free_sftp_client_locks", free_locks, METH_NOARGS, nullptr};

}  // namespace

namespace detail {

PyObject* cached_client = nullptr;
Entry* cached_entry = nullptr;

Entry& find_or_make_entry(PyObject* client) noexcept {
    Entry* entry = nullptr;
    if (auto found = entries.find(client); found != entries.end()) {
        entry = &found->second;
    } else {
        PendingError outer;  // a caller in an except block keeps its error
        OwnedRef key = OwnedRef::steal(PyLong_FromVoidPtr(client));
        OwnedRef callback = key ? OwnedRef::steal(PyCFunction_New(&forget_client_definition, key.get())) : OwnedRef();
        OwnedRef weak = callback ? OwnedRef::steal(PyWeakref_NewRef(client, callback.get())) : OwnedRef();
        if (!weak) {
            PyErr_Clear();
            outer.restore();
            return shared_entry;
        }
        try {
            entry = &entries[client];
        } catch (const std::bad_alloc&) {
            outer.restore();
            return shared_entry;
        }
        entry->weak_reference = std::move(weak);
        outer.restore();
    }
    cached_client = client;
    cached_entry = entry;
    return *entry;
}

}  // namespace detail

Entry* existing_entry(PyObject* client) noexcept {
    if (client == detail::cached_client) {
        return detail::cached_entry;
    }
    auto found = entries.find(client);
    return found == entries.end() ? nullptr : &found->second;
}

void remember_server(PyObject* client, PyObject* label) {
    Entry& entry = entry_of(client);
    if (&entry != &shared_entry) {
        entry.label = OwnedRef::take(label);
        entry.connected_in = getpid();
    }
}

bool leave_to_parent(PyObject* client) noexcept {
    Entry& entry = entry_of(client);
    if (&entry == &shared_entry || entry.connected_in == 0 || entry.connected_in == getpid()) {
        return false;
    }
    entry.left_to_parent = OwnedRef::take(client);
    return true;
}

void free_locks_in_forked_children() {
    OwnedRef os = check(PyImport_ImportModule("os"));
    OwnedRef register_at_fork = check(PyObject_GetAttrString(os.get(), "register_at_fork"));
    OwnedRef handler = check(PyCFunction_New(&free_locks_definition, nullptr));
    OwnedRef arguments = check(PyTuple_New(0));
    OwnedRef keywords = check(Py_BuildValue("{s:O}", "after_in_child", handler.get()));
    check(PyObject_Call(register_at_fork.get(), arguments.get(), keywords.get()));
}

OwnedRef server_label(PyObject* client) noexcept {
    Entry& entry = entry_of(client);
    return &entry == &shared_entry ? OwnedRef() : entry.label;
}

void keep_options(PyObject* client, std::shared_ptr<const Options> options, bool required) {
    Entry& entry = entry_of(client);
    if (&entry == &shared_entry) {
        if (required) {
            PyErr_Format(PyExc_TypeError, "cannot create weak reference to '%.100s' object", Py_TYPE(client)->tp_name);
            throw PyErrorRaised{};
        }
        return;
    }
    // Swapped first: dropping the earlier value may run Python code.
    entry.options.swap(options);
}

std::shared_ptr<const Options> options_of(PyObject* client) noexcept {
    const Entry* entry = existing_entry(client);
    return entry != nullptr ? entry->options : nullptr;
}

}  // namespace sftp::clients
