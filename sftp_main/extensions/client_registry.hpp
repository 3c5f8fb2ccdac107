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

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <pthread.h>

namespace sftp::clients {

// A re-entrant lock whose state lives under the interpreter lock: every
// caller holds that, so taking a free lock costs a few plain reads and
// writes. A thread that has to wait releases the interpreter lock, wakes
// when the lock is given back, and also every few tens of milliseconds to
// run signal handlers, so that Ctrl-C reaches a thread that waits.
class RecursiveMutex {
public:
    // Raises (PyErrorRaised) only what a signal handler raises while waiting.
    void lock() {
        const std::uintptr_t me = this_thread();
        if (owner_ == me) {
            ++depth_;
        } else if (owner_ == 0) {
            owner_ = me;
            depth_ = 1;
        } else {
            wait_for(me);
        }
    }
    void unlock() noexcept {
        if (--depth_ == 0) {
            owner_ = 0;
            if (waiters_ > 0) {
                wake_waiters();
            }
        }
    }

private:
    // Unique among live threads, and cheaper than the interpreter's ident.
    static std::uintptr_t this_thread() noexcept { return static_cast<std::uintptr_t>(pthread_self()); }
    void wait_for(std::uintptr_t me);
    void wake_waiters() noexcept;

    std::uintptr_t owner_ = 0;
    std::size_t depth_ = 0;
    std::size_t waiters_ = 0;
    // Only for waiting: `released_` counts the times the lock was given back.
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    std::uint64_t released_ = 0;
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
// one entry shared by all such clients, which locks nothing (serialising
// unrelated clients could deadlock them).
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
    explicit CallGuard(PyObject* client) : entry_(&entry_of(client)) {
        if (entry_->weak_reference) {
            entry_->mutex.lock();
        }
    }
    ~CallGuard() {
        if (entry_->weak_reference) {
            entry_->mutex.unlock();
        }
    }
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
