// The connection lifecycle: construction, connecting through paramiko, and
// closing, explicitly or when an instance is finalised.
#include "sftp_main/class_methods.hpp"

#include "framework/framework.hpp"
#include "sftp_main/calls.hpp"
#include "sftp_main/extensions/client_registry.hpp"
#include "sftp_main/extensions/failure_notes.hpp"
#include "sftp_main/globals.hpp"
#include "sftp_main/names.hpp"
#include "sftp_main/extensions/connection_options.hpp"
#include "sftp_main/extensions/tcp_no_delay.hpp"
#include "sftp_main/extensions/ssh_step_guard.hpp"
#include "sftp_main/extensions/transfer_options.hpp"

namespace sftp {

namespace {

// `paramiko.<name>`, with `paramiko` resolved afresh in the module namespace.
OwnedRef paramiko_attribute(const Invocation& call, PyObject* name) {
    return sftp::paramiko_attribute(call.globals(), name);
}

// A configuration value, reading `_config` from the instance for each one.
OwnedRef configured(PyObject* self, PyObject* name) { return attribute(attribute(self, names._config).get(), name); }

// The server a connection goes to, as far as _connect has read it: what
// its error notes and the client's record name.
struct Server {
    OwnedRef host;  // text forms
    OwnedRef port;
    OwnedRef user;
    OwnedRef label() const noexcept { return notes::server_label(user.get(), host.get(), port.get()); }
};

// What paramiko.Transport is opened on: "host:port". paramiko splits such a
// text at its first colon, so a host that holds colons itself (an IPv6
// literal) is given as the (host, port) pair instead.
OwnedRef transport_address(PyObject* self, Server& server) {
    OwnedRef host = server.host = text_form(configured(self, names.host).get());
    OwnedRef port = server.port = text_form(configured(self, names.port).get());
    const Py_ssize_t colon = PyUnicode_FindChar(host.get(), ':', 0, PyUnicode_GET_LENGTH(host.get()), 1);
    if (colon == -2) {
        throw PyErrorRaised{};
    }
    if (colon >= 0) {
        OwnedRef port_number = check(PyNumber_Long(port.get()));
        return check(PyTuple_Pack(2, host.get(), port_number.get()));
    }
    return check(PyUnicode_FromFormat("%U:%U", host.get(), port.get()));
}

// With host_key, timeout, key_file or known_hosts set, the session is
// started and checked first, and only then is the key or the password sent
// (auth_password, as connect would).
OwnedRef authenticate_and_open_sftp(const Invocation& call, PyObject* transport, const ConnectionOptions& options,
                                    Server& server) {
    PyObject* self = call.self();
    if (options.any()) {
        start_verified_session(call.globals(), transport, options);
    }
    OwnedRef user = server.user = configured(self, names.user);
    OwnedRef password = configured(self, names.password);
    OwnedRef keywords = check(PyTuple_Pack(2, names.username, names.password));
    PyObject* arguments[] = {transport, user.get(), password.get()};
    if (!options.any()) {
        check(PyObject_VectorcallMethod(names.connect, arguments, 1, keywords.get()));
    } else if (options.key_login) {
        log_in_with_key(call.globals(), transport, user.get(), password.get(), options.key_login);
    } else if (password.get() != Py_None) {  // connect() too logs in only with a password
        check(PyObject_VectorcallMethod(names.auth_password, arguments, 1, keywords.get()));
    }

    OwnedRef sftp_client_class = paramiko_attribute(call, names.SFTPClient);
    OwnedRef sftp = options.timeout
                        ? open_bounded_sftp(sftp_client_class.get(), transport, options)
                        : check(PyObject_CallMethodOneArg(sftp_client_class.get(), names.from_transport, transport));
    clients::remember_server(sftp.get(), server.label().get());
    check_status(PyObject_SetAttr(self, names._sftp, sftp.get()));
    return sftp;
}

OwnedRef init(const Invocation& call) {
    PyObject* self = call.self();
    OwnedRef logger = framework::new_logger(call.globals());
    check_status(PyObject_SetAttr(self, names._log, logger.get()));
    check(PyObject_CallMethodOneArg(self, names._cleanse_params, call.argument(1)));
    if (check_status(PyObject_IsTrue(configured(self, names.ssh).get()))) {
        ssh_step::Guard guard;
        OwnedRef cleansed = attribute(self, names._config);
        bool stepping = false;
        auto check_options = [&](PyObject* handed) {
            guard = ssh_step::Guard::before_step(handed, call.argument(1));
            stepping = true;
        };
        OwnedRef replacement;
        try {
            replacement = framework::ssh_configuration(call.globals(), self, check_options);
        } catch (const PyErrorRaised&) {
            // Past the checks of the module's own options, what fails is the
            // step's connection: the jump host's, not the target's.
            if (stepping) {
                notes::describe_jump_host_failure(call);
            }
            throw;
        }
        guard.require_carried_by(replacement.get());
        require_target_listing(guard.settings(), cleansed.get(), replacement.get());
        check_status(PyObject_SetAttr(self, names._config, replacement.get()));
    }
    return none();
}

// What Transport is opened on: the address, or under a time limit a socket
// connected within it.
OwnedRef transport_endpoint(PyObject* self, const ConnectionOptions& options, Server& server) {
    if (!options.timeout) {
        return transport_address(self, server);
    }
    server.host = text_form(configured(self, names.host).get());
    server.port = text_form(configured(self, names.port).get());
    return open_bounded_socket(server.host.get(), server.port.get(), options);
}

void open_connection(const Invocation& call, Server& server) {
    PyObject* self = call.self();
    // Checked before anything is made, so that a bad value leaves nothing behind.
    const ConnectionOptions options = read_connection_options(call.globals(), self);
    const transfers::TransferOptions transfer_options = transfers::read_transfer_options(self);
    OwnedRef ssh_client_class = paramiko_attribute(call, names.SSHClient);
    OwnedRef ssh = check(PyObject_CallNoArgs(ssh_client_class.get()));
    check_status(PyObject_SetAttr(self, names._ssh, ssh.get()));

    OwnedRef stored_ssh = attribute(self, names._ssh);
    OwnedRef policy_class = paramiko_attribute(call, names.AutoAddPolicy);
    OwnedRef policy = check(PyObject_CallNoArgs(policy_class.get()));
    check(PyObject_CallMethodOneArg(stored_ssh.get(), names.set_missing_host_key_policy, policy.get()));

    OwnedRef transport_class = paramiko_attribute(call, names.Transport);
    OwnedRef address = transport_endpoint(self, options, server);
    OwnedRef transport = check(PyObject_CallOneArg(transport_class.get(), address.get()));

    // The transport is already connected to the server and runs a thread of
    // its own. Nothing keeps it once this call has failed, so end it here
    // rather than leave a live socket behind; the caller sees the original
    // error, never one from the close.
    try {
        disable_nagle(transport.get(), address.get());
        OwnedRef sftp = authenticate_and_open_sftp(call, transport.get(), options, server);
        transfers::remember(sftp.get(), transfer_options, options.timeout.get());
    } catch (const PyErrorRaised&) {
        PendingError original;
        if (!OwnedRef::steal(PyObject_CallMethodNoArgs(transport.get(), names.close))) {
            PyErr_Clear();
        }
        original.restore();
        throw;
    }
}

OwnedRef connect(const Invocation& call) {
    Server server;
    try {
        open_connection(call, server);
    } catch (const PyErrorRaised&) {
        OwnedRef label = server.label();
        notes::describe_failure(call, label.get());
        throw;
    }
    return none();
}

// Calls `object.<method>()` when the object has that method; false when not.
bool call_if_present(PyObject* object, PyObject* method, OwnedRef& result) {
    PyObject* found = nullptr;
    if (check_status(PyObject_GetOptionalAttr(object, method, &found)) == 0) {
        return false;
    }
    OwnedRef bound = OwnedRef::steal(found);
    result = check(PyObject_CallNoArgs(bound.get()));
    return true;
}

OwnedRef close(const Invocation& call) {
    PyObject* self = call.self();
    // The finaliser of every instance that never connected meets a missing
    // `_sftp` here. That error goes back as it is, without a C++ throw: the
    // unwinding would cost more than the whole construction.
    OwnedRef sftp = OwnedRef::steal(PyObject_GetAttr(self, names._sftp));
    if (!sftp) {
        return sftp;
    }
    // In a forked child the session is the parent's: closing it here would
    // break the parent's connection mid-work.
    if (clients::leave_to_parent(sftp.get())) {
        return none();
    }
    clients::CallGuard one_at_a_time(sftp.get());
    call_method(sftp.get(), names.close);
    call_method(attribute(self, names._ssh).get(), names.close);

    // Closing the SFTP client closes only its channel, and the SSH client
    // object was never connected: the transport under the channel is what
    // holds the socket and paramiko's thread, so it is ended too.
    OwnedRef channel;
    OwnedRef transport;
    if (call_if_present(sftp.get(), names.get_channel, channel) &&
        call_if_present(channel.get(), names.get_transport, transport) && transport.get() != Py_None) {
        call_method(transport.get(), names.close);
    }
    return none();
}

OwnedRef finalize(const Invocation& call) {
    notes::QuietScope dropped_anyway;
    if (!OwnedRef::steal(PyObject_CallMethodNoArgs(call.self(), names._close))) {
        drop_ordinary_error();
    }
    return none();
}

}  // namespace

const MethodSpec init_method{"__init__", {"self", "config"}, init};
const MethodSpec connect_method{"_connect", {"self"}, connect};
const MethodSpec close_method{"_close", {"self"}, close};
const MethodSpec del_method{"__del__", {"self"}, finalize};

}  // namespace sftp
