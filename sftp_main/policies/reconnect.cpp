#include "sftp_main/policies/reconnect.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/names.hpp"
#include "sftp_main/options/options.hpp"
#include "sftp_main/policies/host_key_mismatch.hpp"

#include <algorithm>
#include <memory>

namespace sftp::reconnect {

namespace {

// The key blob the dropped connection's server showed, while this thread
// reconnects; null otherwise.
thread_local PyObject* expected_server_key = nullptr;

class ExpectingServerKey {
public:
    explicit ExpectingServerKey(PyObject* key) noexcept : previous_(std::exchange(expected_server_key, key)) {}
    ~ExpectingServerKey() { expected_server_key = previous_; }
    ExpectingServerKey(const ExpectingServerKey&) = delete;
    ExpectingServerKey& operator=(const ExpectingServerKey&) = delete;

private:
    PyObject* previous_;
};

// The caller's progress callback, as the transfer calls it: a failure of
// its own is marked, so that it is never taken for a dropped connection.
// The state lives as long as the callable made for it, which a traceback
// may keep past the transfer.
struct WatchedCallback {
    OwnedRef callback;
    bool failed = false;
};

constexpr const char* kWatchedName = "sftp_main.progress";

PyObject* call_watched(PyObject* capsule, PyObject* const* arguments, Py_ssize_t count) {
    auto* watched = static_cast<WatchedCallback*>(PyCapsule_GetPointer(capsule, kWatchedName));
    if (watched == nullptr) {
        return nullptr;
    }
    PyObject* result =
        PyObject_Vectorcall(watched->callback.get(), arguments, static_cast<std::size_t>(count), nullptr);
    if (result == nullptr) {
        watched->failed = true;
    }
    return result;
}

void forget_watched(PyObject* capsule) {
    delete static_cast<WatchedCallback*>(PyCapsule_GetPointer(capsule, kWatchedName));
}

PyMethodDef watched_method{"progress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_watched)),
                           METH_FASTCALL, nullptr};

// The callable that calls `progress`; `state` is valid while it lives.
OwnedRef watching(PyObject* progress, WatchedCallback*& state) {
    auto owned = std::make_unique<WatchedCallback>(WatchedCallback{OwnedRef::take(progress)});
    OwnedRef capsule = check(PyCapsule_New(owned.get(), kWatchedName, forget_watched));
    state = owned.release();
    return check(PyCFunction_New(&watched_method, capsule.get()));
}

// `object.<name>`, or empty where it has none or reading it fails.
OwnedRef optional_attribute(PyObject* object, const char* name) {
    OwnedRef found = OwnedRef::steal(PyObject_GetAttrString(object, name));
    if (!found) {
        drop_ordinary_error();
    }
    return found;
}

// object.<method>(), or empty where it has no such method, the call fails
// or it returns None.
OwnedRef optional_call(PyObject* object, const char* method) {
    OwnedRef bound = optional_attribute(object, method);
    if (!bound) {
        return {};
    }
    OwnedRef result = OwnedRef::steal(PyObject_CallNoArgs(bound.get()));
    if (!result) {
        drop_ordinary_error();
    }
    return result && result.get() != Py_None ? result : OwnedRef();
}

// The transport under an SFTP client, or empty.
OwnedRef transport_of(PyObject* client) {
    OwnedRef channel = optional_call(client, "get_channel");
    return channel ? optional_call(channel.get(), "get_transport") : OwnedRef();
}

bool matches_paramiko_error(PyObject* failure, const char* name) {
    OwnedRef module = OwnedRef::steal(PyImport_ImportModule("paramiko.ssh_exception"));
    if (!module) {
        drop_ordinary_error();
        return false;
    }
    OwnedRef type = optional_attribute(module.get(), name);
    return type && PyErr_GivenExceptionMatches(failure, type.get());
}

// The module's own refusals of a server's key (a pin, known_hosts, the key
// on reconnecting) say that no credentials were sent.
bool refused_before_credentials(PyObject* failure) {
    OwnedRef text = OwnedRef::steal(PyObject_Str(failure));
    if (!text) {
        drop_ordinary_error();
        return false;
    }
    OwnedRef marker = check(PyUnicode_FromString(kNoCredentialsSent));
    return check_status(PySequence_Contains(text.get(), marker.get())) == 1;
}

bool refused_key_or_login(PyObject* failure) {
    return matches_paramiko_error(failure, "BadHostKeyException") ||
           matches_paramiko_error(failure, "AuthenticationException");
}

bool dropped(PyObject* failure, PyObject* client) {
    if (PyErr_GivenExceptionMatches(failure, PyExc_EOFError) ||
        PyErr_GivenExceptionMatches(failure, PyExc_ConnectionError) ||
        PyErr_GivenExceptionMatches(failure, PyExc_TimeoutError)) {
        return true;
    }
    if (refused_key_or_login(failure)) {
        return false;
    }
    if (matches_paramiko_error(failure, "SSHException")) {
        return true;
    }
    // What the server said of a file is no drop, whatever became of the
    // connection since.
    if (PyErr_GivenExceptionMatches(failure, PyExc_FileNotFoundError) ||
        PyErr_GivenExceptionMatches(failure, PyExc_PermissionError) ||
        PyErr_GivenExceptionMatches(failure, PyExc_IsADirectoryError)) {
        return false;
    }
    return !connection_alive(client);
}

void wait_before(int attempt) {
    const long seconds = std::min(1L << std::min(attempt - 2, 4), 4L);
    OwnedRef time = check(PyImport_ImportModule("time"));
    check(PyObject_CallMethod(time.get(), "sleep", "l", seconds));
}

// The key blob the server at the other end of `transport` showed, or
// empty where it tells none.
OwnedRef shown_key(PyObject* transport) {
    OwnedRef server_key = OwnedRef::steal(PyObject_CallMethodNoArgs(transport, names.get_remote_server_key));
    OwnedRef blob = server_key && server_key.get() != Py_None
                        ? OwnedRef::steal(PyObject_CallMethodNoArgs(server_key.get(), names.asbytes))
                        : OwnedRef();
    if (!blob) {
        drop_ordinary_error();
    }
    return blob;
}

// One reconnect at a time in the process: the transfers of other threads
// that met the same drop wait, then take the client it made, rather than
// close it and leave their own ones unclosed.
PyMutex reconnecting{};

class Reconnecting {
public:
    Reconnecting() noexcept { PyMutex_Lock(&reconnecting); }
    ~Reconnecting() { PyMutex_Unlock(&reconnecting); }
    Reconnecting(const Reconnecting&) = delete;
    Reconnecting& operator=(const Reconnecting&) = delete;
};

// The check before credentials is made on the thread that reconnects; a
// `_connect` of the caller's own that connects on another thread escapes
// it. The transfer then still goes no further with a server showing
// another key than the dropped connection's: the new clients are closed.
void refuse_another_server(PyObject* self, PyObject* client, const Options& options) {
    OwnedRef transport = transport_of(client);
    if (!transport) {
        return;  // a client that tells nothing of its server: the check before credentials stands alone
    }
    if (OwnedRef blob = shown_key(transport.get());
        blob && options.server_key &&
        check_status(PyObject_RichCompareBool(blob.get(), options.server_key.get(), Py_EQ)) == 1) {
        return;
    }
    if (!OwnedRef::steal(PyObject_CallMethod(self, "_close", nullptr))) {
        drop_ordinary_error();
    }
    PyErr_SetString(PyExc_PermissionError,
                    "the server reached on reconnecting shows another host key than the connection that dropped; "
                    "the transfer does not go on with it");
    throw PyErrorRaised{};
}

// Closes the old clients through `_close`, makes `_connect` expecting the
// old server's key, and returns the new client, in the old one's directory;
// or the instance's client, where another thread has replaced the old one
// with a live one meanwhile.
OwnedRef connect_again(PyObject* self, PyObject* old_client, const Options& options) {
    const Reconnecting one_at_a_time;
    if (OwnedRef current = OwnedRef::steal(PyObject_GetAttr(self, names._sftp)); !current) {
        drop_ordinary_error();
    } else if (current.get() != old_client && connection_alive(current.get())) {
        return current;
    }
    OwnedRef directory = remote_directory(old_client);
    if (!OwnedRef::steal(PyObject_CallMethod(self, "_close", nullptr))) {
        drop_ordinary_error();  // the connection is gone: its close may fail too
    }
    {
        // A key never seen is no key to accept: None matches none.
        const ExpectingServerKey expecting(options.server_key ? options.server_key.get() : Py_None);
        check(PyObject_CallMethod(self, "_connect", nullptr));
    }
    OwnedRef client = attribute(self, names._sftp);
    refuse_another_server(self, client.get(), options);
    if (directory) {
        check(PyObject_CallMethod(client.get(), "chdir", "O", directory.get()));
    }
    return client;
}

// A connection failure that another attempt may get past: the server is
// unreachable for now. A refused key or login is not, nor a directory
// that is gone from the server.
bool worth_another_connect(PyObject* failure) {
    if (refused_key_or_login(failure) || refused_before_credentials(failure) ||
        PyErr_GivenExceptionMatches(failure, PyExc_FileNotFoundError) ||
        PyErr_GivenExceptionMatches(failure, PyExc_PermissionError) ||
        PyErr_GivenExceptionMatches(failure, PyExc_NotADirectoryError)) {
        return false;
    }
    return PyErr_GivenExceptionMatches(failure, PyExc_OSError) ||
           PyErr_GivenExceptionMatches(failure, PyExc_EOFError) || matches_paramiko_error(failure, "SSHException");
}

void add_note(PyObject* failure, PyObject* note) {
    if (!note || !OwnedRef::steal(PyObject_CallMethod(failure, "add_note", "O", note))) {
        drop_ordinary_error();
    }
}

// "user@host:port" of the jump host the instance's "ssh" step went
// through, or empty where its configuration does not say.
OwnedRef jump_host_of(PyObject* self) {
    OwnedRef host = optional_setting(self, names.ssh_host);
    if (!host || !is_true(host.get())) {
        return {};
    }
    OwnedRef port = optional_setting(self, names.ssh_port);
    OwnedRef user = optional_setting(self, names.ssh_user);
    OwnedRef host_text = text_form(host.get());
    OwnedRef port_text = port && is_true(port.get()) ? text_form(port.get()) : check(PyUnicode_FromString("22"));
    if (user && is_true(user.get())) {
        OwnedRef user_text = text_form(user.get());
        return check(PyUnicode_FromFormat("%U@%U:%U", user_text.get(), host_text.get(), port_text.get()));
    }
    return check(PyUnicode_FromFormat("%U:%U", host_text.get(), port_text.get()));
}

// A reconnect through the "ssh" step's tunnel failed: the tunnel is set up
// once, by the constructor, and a dropped jump connection ends it for good.
void add_jump_host_note(PyObject* self, PyObject* failure) {
    run_guarded([&] {
        OwnedRef ssh = optional_setting(self, names.ssh);
        if (!ssh || !is_true(ssh.get())) {
            return;
        }
        OwnedRef jump = jump_host_of(self);
        OwnedRef shown = jump ? check(PyUnicode_FromFormat(" %U", jump.get())) : check(PyUnicode_FromString(""));
        OwnedRef note = check(PyUnicode_FromFormat(
            "sftp_main: the reconnect goes through the tunnel to the jump host%U that the constructor set up "
            "(\"ssh\"); when the connection to the jump host itself has dropped, the tunnel is gone and is not set "
            "up again: make a new instance",
            shown.get()));
        add_note(failure, note.get());
    });
    if (PyErr_Occurred()) {
        drop_ordinary_error();
    }
}

void add_attempts_note(PyObject* failure, int attempts, long allowed) {
    OwnedRef note = OwnedRef::steal(
        PyUnicode_FromFormat("sftp_main: the transfer was made %d time%s; \"retries\" allows %ld more after the first",
                             attempts, attempts == 1 ? "" : "s", allowed));
    add_note(failure, note.get());
}

}  // namespace

void with_retries(PyObject* self, const Options& options, PyObject* progress, int& attempts,
                  const std::function<void(PyObject* client, PyObject* progress)>& attempt) {
    const OwnedRef& retries = options[Option::retries];
    const long allowed = retries ? PyLong_AsLong(retries.get()) : 0;
    WatchedCallback* watched = nullptr;
    OwnedRef callback = progress != nullptr ? watching(progress, watched) : OwnedRef();
    OwnedRef client = attribute(self, names._sftp);
    attempts = 0;
    // A session found dead is reconnected as part of the first attempt, so
    // that a failure of that reconnect is retried as any other.
    const bool dead = allowed > 0 && !connection_alive(client.get());
    for (;;) {
        ++attempts;
        bool connecting = false;
        try {
            if (attempts > 1 || dead) {
                if (attempts > 1) {
                    wait_before(attempts);
                }
                connecting = true;
                client = connect_again(self, client.get(), options);
                connecting = false;
            }
            attempt(client.get(), callback.get());
            return;
        } catch (const PyErrorRaised&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                throw;
            }
            PendingError failure;
            const bool again = attempts <= allowed && !(watched != nullptr && watched->failed) &&
                               (connecting ? worth_another_connect(failure.get()) : dropped(failure.get(), client.get()));
            if (!again) {
                if (connecting) {
                    add_jump_host_note(self, failure.get());
                }
                if (allowed > 0) {
                    add_attempts_note(failure.get(), attempts, allowed);
                }
                failure.restore();
                throw;
            }
        }
    }
}

void check_same_server(PyObject* module_globals, PyObject* transport) {
    if (expected_server_key == nullptr) {
        return;
    }
    OwnedRef server_key = call_method(transport, names.get_remote_server_key);
    OwnedRef blob = call_method(server_key.get(), names.asbytes);
    if (check_status(PyObject_RichCompareBool(blob.get(), expected_server_key, Py_EQ)) == 1) {
        return;
    }
    OwnedRef peer = OwnedRef::steal(PyObject_CallMethod(transport, "getpeername", nullptr));
    if (!peer) {
        drop_ordinary_error();
        peer = none();
    }
    OwnedRef peer_text = check(PyObject_Str(peer.get()));
    OwnedRef message = check(PyUnicode_FromFormat(
        "Host key for server %U changed on reconnecting: the server shows another key than the connection that "
        "dropped%s",
        peer_text.get(), kNoCredentialsSent));
    raise_host_key_mismatch(module_globals, peer_text.get(), server_key.get(), message.get());
}

bool expecting_server_key() noexcept { return expected_server_key != nullptr; }

void remember_server_key(PyObject* sftp, Options& options) {
    OwnedRef transport = transport_of(sftp);
    if (!transport) {
        return;
    }
    if (OwnedRef blob = shown_key(transport.get())) {
        options.server_key = std::move(blob);
    }
}

OwnedRef remote_directory(PyObject* client) { return optional_call(client, "getcwd"); }

bool connection_alive(PyObject* client) {
    OwnedRef transport = transport_of(client);
    if (!transport) {
        return true;
    }
    OwnedRef active = OwnedRef::steal(PyObject_CallMethod(transport.get(), "is_active", nullptr));
    if (!active) {
        drop_ordinary_error();
        return true;
    }
    return is_true(active.get());
}

}  // namespace sftp::reconnect
