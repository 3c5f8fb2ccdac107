// The session started apart from paramiko's connect(), for "host_key",
// "timeout", "key_file", "known_hosts", "retries" and "resume": key exchange (under the time
// limit, when one is set), then the server's key verified by one chain, and
// only then the key or the password sent. The chain: a key known_hosts
// marks @revoked is refused, then the "host_key" pins are tried, then the
// known_hosts listing; with both, a key that either lists is accepted.
#include "sftp_main/contract/extension_points.hpp"

#include "sftp_main/address.hpp"
#include "sftp_main/calls.hpp"
#include "sftp_main/globals.hpp"
#include "sftp_main/names.hpp"
#include "sftp_main/options/options.hpp"
#include "sftp_main/policies/block_size.hpp"
#include "sftp_main/policies/host_key_mismatch.hpp"
#include "sftp_main/policies/key_login.hpp"
#include "sftp_main/policies/known_hosts.hpp"
#include "sftp_main/policies/reconnect.hpp"

#include <algorithm>

namespace sftp {

namespace {


// "host:port" of the peer, "[host]:port" for an IPv6 address.
OwnedRef peer_text(PyObject* transport) {
    OwnedRef peer = call_method(transport, names.getpeername);
    if (!PyTuple_Check(peer.get()) || PyTuple_GET_SIZE(peer.get()) < 2) {
        return check(PyObject_Str(peer.get()));
    }
    OwnedRef host = check(PyObject_Str(PyTuple_GET_ITEM(peer.get(), 0)));
    PyObject* port = PyTuple_GET_ITEM(peer.get(), 1);
    return address_text(host.get(), port, Brackets::ForIPv6);
}

[[noreturn]] void raise_mismatch(PyObject* module_globals, PyObject* transport, PyObject* server_key,
                                 PyObject* server_digest, const std::vector<HostKeyPin>& pins) {
    OwnedRef peer = peer_text(transport);
    OwnedRef received = fingerprint_text(server_digest);
    OwnedRef key_name = call_method(server_key, names.get_name);
    OwnedRef expected_list = check(PyList_New(0));
    for (const HostKeyPin& pin : pins) {
        check_status(PyList_Append(expected_list.get(), pin.fingerprint.get()));
    }
    OwnedRef separator = check(PyUnicode_FromString(", "));
    OwnedRef expected = check(PyUnicode_Join(separator.get(), expected_list.get()));
    OwnedRef message = check(PyUnicode_FromFormat(
        "Host key for server %U does not match host_key: got %U (%S), expected %s%U%s",
        peer.get(), received.get(), key_name.get(), pins.size() > 1 ? "one of " : "", expected.get(), kNoCredentialsSent));

    raise_host_key_mismatch(module_globals, peer.get(), server_key, message.get());
}

// With both "host_key" and "known_hosts", a key that either lists is
// accepted; a key known_hosts marks @revoked never is.
void verify_host_key(PyObject* module_globals, PyObject* transport, const Options& options) {
    const std::vector<HostKeyPin>& pins = options.pins;
    OwnedRef server_key = call_method(transport, names.get_remote_server_key);
    OwnedRef blob = call_method(server_key.get(), names.asbytes);
    OwnedRef digest = sha256_digest(blob.get());
    if (options.known_hosts) {
        refuse_revoked_key(module_globals, server_key.get(), digest.get(), options.known_hosts);
    }
    for (const HostKeyPin& pin : pins) {
        PyObject* mine = pin.blob ? pin.blob.get() : pin.digest.get();
        PyObject* theirs = pin.blob ? blob.get() : digest.get();
        if (check_status(PyObject_RichCompareBool(mine, theirs, Py_EQ)) == 1) {
            return;
        }
    }
    if (options.known_hosts) {
        OwnedRef pinned = check(PyList_New(0));
        for (const HostKeyPin& pin : pins) {
            check_status(PyList_Append(pinned.get(), pin.fingerprint.get()));
        }
        check_known_host(module_globals, server_key.get(), blob.get(), digest.get(), options.known_hosts, pinned.get());
        return;
    }
    raise_mismatch(module_globals, transport, server_key.get(), digest.get(), pins);
}

// Of the host key algorithms paramiko offers, those of the pinned key lines
// and of the keys known_hosts lists for the server go first, so that a
// server with several keys shows a listed one. The fingerprints do not say
// their type: for those the order stays.
void prefer_listed_key_types(PyObject* transport, const Options& options) {
    OwnedRef pinned = check(PySet_New(nullptr));
    auto prefer = [&](PyObject* key_type) {
        check_status(PySet_Add(pinned.get(), key_type));
        if (PyUnicode_Check(key_type) && PyUnicode_CompareWithASCIIString(key_type, "ssh-rsa") == 0) {
            // An RSA key signs under these names as well.
            for (const char* algorithm : {"rsa-sha2-512", "rsa-sha2-256"}) {
                OwnedRef name = check(PyUnicode_FromString(algorithm));
                check_status(PySet_Add(pinned.get(), name.get()));
            }
        }
    };
    for (const HostKeyPin& pin : options.pins) {
        if (pin.key_type) {
            prefer(pin.key_type.get());
        }
    }
    if (options.known_hosts) {
        OwnedRef listed = listed_key_types(options.known_hosts);
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(listed.get()); ++index) {
            prefer(PyList_GET_ITEM(listed.get(), index));
        }
    }
    if (PySet_GET_SIZE(pinned.get()) == 0) {
        return;
    }
    OwnedRef security = call_method(transport, names.get_security_options);
    OwnedRef offered = check(PySequence_Tuple(attribute(security.get(), names.key_types).get()));
    OwnedRef preferred = check(PyList_New(0));
    OwnedRef others = check(PyList_New(0));
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(offered.get()); ++index) {
        PyObject* algorithm = PyTuple_GET_ITEM(offered.get(), index);
        const bool is_pinned = check_status(PySet_Contains(pinned.get(), algorithm)) == 1;
        check_status(PyList_Append(is_pinned ? preferred.get() : others.get(), algorithm));
    }
    if (PyList_GET_SIZE(preferred.get()) == 0) {
        return;
    }
    check_status(PyList_SetSlice(preferred.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, others.get()));
    OwnedRef order = check(PyList_AsTuple(preferred.get()));
    check_status(PyObject_SetAttr(security.get(), names.key_types, order.get()));
}

// The session is started apart from connect() when the server's key is to
// be checked, the time bounded, or a key sent. A reconnect checks the
// server's key even where the configuration no longer asks for retries.
bool session_apart(const Options& options) {
    return !options.pins.empty() || static_cast<bool>(options[Option::timeout]) ||
           static_cast<bool>(options.key_login) || static_cast<bool>(options.known_hosts) || options.survives_drops() ||
           reconnect::expecting_server_key();
}

void verify_host(PyObject* module_globals, PyObject* transport, const Options& options) {
    if (!options.pins.empty() || options.known_hosts) {
        verify_host_key(module_globals, transport, options);
    }
}

OwnedRef import_module_named(const char* name) { return check(PyImport_ImportModule(name)); }

// Runs `step`; an ordinary exception from it is dropped, anything else
// (Ctrl-C) goes on.
template <typename Step>
void unless_exception(Step&& step) {
    try {
        step();
    } catch (const PyErrorRaised&) {
        drop_ordinary_error();
    }
}

// A log channel that records nothing, for a transport the module is ending.
OwnedRef muted_log_channel() {
    OwnedRef name = check(PyUnicode_FromString("sftp_main.stopped_transport"));
    OwnedRef logging = import_module_named("logging");
    OwnedRef logger = check(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get()));
    check(PyObject_CallMethod(logger.get(), "setLevel", "i", 51));  // above CRITICAL
    return name;
}

// The transport's thread is still waiting for the server's banner or key
// exchange. Closing the socket under it would make it fail on a dead
// descriptor; the socket is shut down instead, which ends its read at once,
// and the thread is joined. paramiko logs any end of its banner read as an
// error with a traceback, so what it logs about an end that the module
// caused goes to a channel that records nothing.
void stop_unfinished_session(PyObject* transport, PyObject* timeout) {
    unless_exception([&] {
        OwnedRef channel = muted_log_channel();
        check(PyObject_CallMethod(transport, "set_log_channel", "O", channel.get()));
    });
    unless_exception([&] {
        OwnedRef sock = check(PyObject_GetAttrString(transport, "sock"));
        OwnedRef socket_module = import_module_named("socket");
        OwnedRef both_ways = check(PyObject_GetAttrString(socket_module.get(), "SHUT_RDWR"));
        check(PyObject_CallMethod(sock.get(), "shutdown", "O", both_ways.get()));
    });
    unless_exception([&] { check(PyObject_CallMethod(transport, "join", "O", timeout)); });
    // The key exchange's own timer would otherwise keep a thread (one that
    // holds up the interpreter's exit) until paramiko's limit.
    unless_exception([&] {
        OwnedRef packetizer = check(PyObject_GetAttrString(transport, "packetizer"));
        check(PyObject_CallMethod(packetizer.get(), "complete_handshake", nullptr));
    });
}

// start_client(timeout=…) returns quietly when its time is up; the session
// is of no use then.
void require_finished_key_exchange(PyObject* transport, PyObject* timeout) {
    PyObject* found = nullptr;
    if (check_status(PyObject_GetOptionalAttr(transport, names.initial_kex_done, &found)) == 0) {
        return;
    }
    OwnedRef done = OwnedRef::steal(found);
    if (!check_status(PyObject_IsTrue(done.get()))) {
        stop_unfinished_session(transport, timeout);
        PyErr_Format(PyExc_TimeoutError, "the SSH key exchange did not finish within the timeout of %S s", timeout);
        throw PyErrorRaised{};
    }
}

}  // namespace

// socket.create_connection((host, int(port)), timeout): the TCP connect bounded.
OwnedRef points::endpoint(const Options& options, PyObject* host_text, PyObject* port_text) {
    if (!options[Option::timeout]) {
        return {};
    }
    OwnedRef port_number = check(PyNumber_Long(port_text));
    OwnedRef address = check(PyTuple_Pack(2, host_text, port_number.get()));
    OwnedRef socket_module = import_module_named("socket");
    OwnedRef keywords = check(PyTuple_Pack(1, names.timeout));
    PyObject* arguments[] = {socket_module.get(), address.get(), options[Option::timeout].get()};
    return check(PyObject_VectorcallMethod(names.create_connection, arguments, 2, keywords.get()));
}

void points::before_credentials(PyObject* module_globals, PyObject* transport, const Options& options) {
    if (!session_apart(options)) {
        return;
    }
    if (options[Option::timeout]) {
        // The module's own deadline ends a silent start, always with its
        // TimeoutError: paramiko's limits on the banner and the key exchange,
        // which would race it with errors of their own, are set well past it,
        // but by no more than an hour: paramiko waits out the key exchange's
        // limit on a timer, and doubling a limit of centuries would put that
        // wait's end past what the clock can hold.
        const double seconds = PyFloat_AS_DOUBLE(options[Option::timeout].get());
        OwnedRef backstop = check(PyFloat_FromDouble(seconds + std::clamp(seconds, 5.0, 3600.0)));
        for (PyObject* limit : {names.banner_timeout, names.handshake_timeout}) {
            check_status(PyObject_SetAttr(transport, limit, backstop.get()));
        }
        for (PyObject* limit : {names.auth_timeout, names.channel_timeout}) {
            check_status(PyObject_SetAttr(transport, limit, options[Option::timeout].get()));
        }
    }
    prefer_listed_key_types(transport, options);
    if (options[Option::timeout]) {
        OwnedRef keywords = check(PyTuple_Pack(1, names.timeout));
        PyObject* arguments[] = {transport, options[Option::timeout].get()};
        try {
            check(PyObject_VectorcallMethod(names.start_client, arguments, 1, keywords.get()));
        } catch (const PyErrorRaised&) {
            // An Exception from start_client means paramiko's thread has
            // already ended. Anything else (Ctrl-C) left it reading: it is
            // stopped as at the time limit, before _connect closes it.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                PendingError interrupted;
                stop_unfinished_session(transport, options[Option::timeout].get());
                interrupted.restore();
            }
            throw;
        }
        require_finished_key_exchange(transport, options[Option::timeout].get());
    } else {
        call_method(transport, names.start_client);
    }
    reconnect::check_same_server(module_globals, transport);
    verify_host(module_globals, transport, options);
}

// The SFTP client on its own channel, bounded from the subsystem request on.
OwnedRef points::open_sftp(PyObject* sftp_client_class, PyObject* transport, Options& options) {
    if (options[Option::block_size] || options.survives_drops()) {
        return blocks::open_sized_sftp(sftp_client_class, transport, options);
    }
    if (!options[Option::timeout]) {
        return {};
    }
    OwnedRef channel = call_method(transport, names.open_session);
    check(PyObject_CallMethodOneArg(channel.get(), names.settimeout, options[Option::timeout].get()));
    OwnedRef subsystem = check(PyUnicode_FromString("sftp"));
    check(PyObject_CallMethodOneArg(channel.get(), names.invoke_subsystem, subsystem.get()));
    return check(PyObject_CallOneArg(sftp_client_class, channel.get()));
}

// The key, or the password with auth_password as connect would send it.
bool points::authenticate(PyObject* module_globals, PyObject* transport, PyObject* user, PyObject* password,
                          const Options& options) {
    if (!session_apart(options)) {
        return false;
    }
    if (options.key_login) {
        log_in_with_key(module_globals, transport, user, password, options.key_login);
    } else if (password != Py_None) {  // connect() too logs in only with a password
        OwnedRef keywords = check(PyTuple_Pack(2, names.username, names.password));
        PyObject* arguments[] = {transport, user, password};
        check(PyObject_VectorcallMethod(names.auth_password, arguments, 1, keywords.get()));
    }
    return true;
}

}  // namespace sftp
