// What the module keeps about each SFTP client it uses, outside the
// instance: a lock that lets one call at a time reach the client, the
// server it talks to, for error notes, the process that connected it, and
// the options value _connect read for it (options.hpp).
//
// paramiko's SFTP client cannot take concurrent requests, so the remote
// operations and _close hold the client's lock (client_lock.hpp) for the
// duration of their client calls.
//
// A forked child shares the parent's socket and cipher state: a client the
// parent connected is left to the parent there, and the child starts with
// every lock free.
//
// Entries are keyed by the client object and end with it (a weak reference
// drops them). A client that cannot be weakly referenced shares one entry
// with every other such client.
#pragma once

#include "sftp_main/policies/client_lock.hpp"
#include "sftp_main/ref.hpp"

#include <memory>
#include <sys/types.h>

namespace sftp {
struct Options;
}

namespace sftp::clients {

struct Entry {
    ClientLock mutex;
    OwnedRef weak_reference;  // empty for the shared entry
    OwnedRef label;
    pid_t connected_in = 0;  // the process whose _connect made the client
    OwnedRef left_to_parent;  // the client itself, kept in a forked child
    std::shared_ptr<const Options> options;  // empty: none set
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

    // The options kept for the client, found by the lock's own lookup. A
    // caller that runs the client's code keeps a copy: that code may
    // connect the client afresh.
    const std::shared_ptr<const Options>& options() const noexcept { return entry_->options; }

private:
    Entry* entry_;
};

// The entry of `client` when it has one of its own, or null; makes none.
Entry* existing_entry(PyObject* client) noexcept;

// Records that `client` talks to the server described by `label`
// ("user@host:port"), and was connected in this process, replacing any
// earlier record.
void remember_server(PyObject* client, PyObject* label);

// True when `client` was connected in another process, of which this one is
// a forked child. Such a client is kept for the life of this process, so
// that none of paramiko's finalisers sends anything through the parent's
// session. Raises nothing.
bool leave_to_parent(PyObject* client) noexcept;

// In the child of each later fork of this process (os.register_at_fork),
// frees every client's lock and keeps every connected client. Called once,
// when the module is set up.
void free_locks_in_forked_children();

// The label recorded for `client`, or an empty reference. Raises nothing.
OwnedRef server_label(PyObject* client) noexcept;

// Keeps `options` for `client`, replacing any earlier value; `options` may
// be empty. Raises TypeError when `required` and the client takes no weak
// reference (it then has no entry of its own to keep them in).
void keep_options(PyObject* client, std::shared_ptr<const Options> options, bool required);

// The options kept for `client`, or empty.
std::shared_ptr<const Options> options_of(PyObject* client) noexcept;

}  // namespace sftp::clients
