// What the module keeps about each SFTP client it uses, outside the
// instance: a lock that lets one call at a time reach the client, and the
// server it talks to, for error notes.
//
// paramiko's SFTP client cannot take concurrent requests, so the remote
// operations and _close hold the client's lock for the duration of their
// client calls. The lock is re-entrant on one thread (a subclass method may
// call another), and a thread waiting for it releases the interpreter lock.
//
// Entries are keyed by the client object and end with it (a weak reference
// drops them). A client that cannot be weakly referenced shares one entry
// with every other such client.
#pragma once

#include "sftp_main/ref.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <pthread.h>

namespace sftp::clients {

// A re-entrant lock over the interpreter's own mutex, which releases the
// interpreter lock while it waits. Inline: it is on every call's path.
class RecursiveMutex {
public:
    void lock() noexcept {
        const std::uintptr_t me = this_thread();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        PyMutex_Lock(&mutex_);
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }
    void unlock() noexcept {
        if (--depth_ == 0) {
            owner_.store(0, std::memory_order_relaxed);
            PyMutex_Unlock(&mutex_);
        }
    }

private:
    // Unique among live threads, and cheaper than the interpreter's ident.
    static std::uintptr_t this_thread() noexcept { return static_cast<std::uintptr_t>(pthread_self()); }

    PyMutex mutex_{};
    std::atomic<std::uintptr_t> owner_{0};
    std::size_t depth_ = 0;
};

struct Entry {
    RecursiveMutex mutex;
    OwnedRef weak_reference;  // empty for the shared entry
    OwnedRef label;
};

namespace detail {
// The last entry looked up, which is nearly always the next one asked for.
extern PyObject* cached_client;
extern Entry* cached_entry;
Entry& find_or_make_entry(PyObject* client) noexcept;
}  // namespace detail

// The entry of `client`, made on first use. Never fails: a client that
// cannot be weakly referenced, or a failure while making its entry, gets
// one entry shared by all such clients.
inline Entry& entry_of(PyObject* client) noexcept {
    if (client == detail::cached_client) {
        return *detail::cached_entry;
    }
    return detail::find_or_make_entry(client);
}

// Holds the lock of `client`'s entry from construction to destruction. The
// caller keeps a strong reference to `client` for as long as the guard lives.
class CallGuard {
public:
    explicit CallGuard(PyObject* client) noexcept : entry_(&entry_of(client)) { entry_->mutex.lock(); }
    ~CallGuard() { entry_->mutex.unlock(); }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

private:
    Entry* entry_;
};

// Records that `client` talks to the server described by `label`
// ("user@host:port"), replacing any earlier record.
void remember_server(PyObject* client, PyObject* label);

// The label recorded for `client`, or an empty reference. Raises nothing.
OwnedRef server_label(PyObject* client) noexcept;

}  // namespace sftp::clients
