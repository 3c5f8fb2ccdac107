#include "sftp_main/extensions/client_registry.hpp"

#include <chrono>
#include <unordered_map>

namespace sftp::clients {

void RecursiveMutex::wait_for(std::uintptr_t me) {
    constexpr auto kSignalCheck = std::chrono::milliseconds(50);
    ++waiters_;
    while (owner_ != 0) {
        std::uint64_t seen = 0;
        {
            std::lock_guard<std::mutex> hold(wake_mutex_);
            seen = released_;
        }
        Py_BEGIN_ALLOW_THREADS
        {
            // Let go before taking the interpreter lock back: the thread
            // that wakes us holds that lock while it takes this one.
            std::unique_lock<std::mutex> hold(wake_mutex_);
            wake_.wait_for(hold, kSignalCheck, [&] { return released_ != seen; });
        }
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) {
            --waiters_;
            throw PyErrorRaised{};
        }
    }
    --waiters_;
    owner_ = me;
    depth_ = 1;
}

void RecursiveMutex::wake_waiters() noexcept {
    std::lock_guard<std::mutex> hold(wake_mutex_);
    ++released_;
    wake_.notify_all();
}

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
        entries.erase(found);
    }
    return Py_NewRef(Py_None);
}

PyMethodDef forget_client_definition = {"forget_client", forget_client, METH_O, nullptr};

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

void remember_server(PyObject* client, PyObject* label) {
    Entry& entry = entry_of(client);
    if (&entry != &shared_entry) {
        entry.label = OwnedRef::take(label);
    }
}

OwnedRef server_label(PyObject* client) noexcept {
    Entry& entry = entry_of(client);
    return &entry == &shared_entry ? OwnedRef() : entry.label;
}

}  // namespace sftp::clients
