// The connection lifecycle: construction, connecting through paramiko, and
// closing, explicitly or when an instance is finalised.
#include "sftp_main/contract/class_methods.hpp"

#include "framework/framework.hpp"
#include "sftp_main/address.hpp"
#include "sftp_main/calls.hpp"
#include "sftp_main/contract/extension_points.hpp"
#include "sftp_main/globals.hpp"
#include "sftp_main/names.hpp"

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
    OwnedRef label() const noexcept { return points::server_label(user.get(), host.get(), port.get()); }
};

// "host:port". paramiko splits such a text at its first colon, so a host
// that holds colons itself (an IPv6 literal) is given as the (host, port)
// pair instead.
OwnedRef transport_address(const Server& server) {
    const Py_ssize_t colon = PyUnicode_FindChar(server.host.get(), ':', 0, PyUnicode_GET_LENGTH(server.host.get()), 1);
    if (colon == -2) {
        throw PyErrorRaised{};
    }
    if (colon >= 0) {
        OwnedRef port_number = check(PyNumber_Long(server.port.get()));
        return check(PyTuple_Pack(2, server.host.get(), port_number.get()));
    }
    return address_text(server.host.get(), server.port.get(), Brackets::Never);
}

OwnedRef init(const Invocation& call) {
    PyObject* self = call.self();
    OwnedRef logger = framework::new_logger(call.globals());
    check_status(PyObject_SetAttr(self, names._log, logger.get()));
    check(PyObject_CallMethodOneArg(self, names._cleanse_params, call.argument(1)));
    if (check_status(PyObject_IsTrue(configured(self, names.ssh).get()))) {
        points::SshStep step;
        OwnedRef cleansed = attribute(self, names._config);
        auto before_step = [&](PyObject* handed) { step.before(handed, call.argument(1)); };
        OwnedRef replacement;
        try {
            replacement = framework::ssh_configuration(call.globals(), self, before_step);
        } catch (const PyErrorRaised&) {
            step.failed(call);
            throw;
        }
        step.after(cleansed.get(), replacement.get());
        check_status(PyObject_SetAttr(self, names._config, replacement.get()));
    }
    return none();
}

// The contract's connection: SSHClient with AutoAddPolicy, a Transport on
// "host:port", connect(username=, password=), SFTPClient.from_transport.
void open_connection(const Invocation& call, Server& server) {
    PyObject* self = call.self();
    PyObject* globals = call.globals();
    // Checked before anything is made, so that a bad value leaves nothing behind.
    std::shared_ptr<Options> options = points::read_options(globals, self);
    OwnedRef ssh_client_class = paramiko_attribute(call, names.SSHClient);
    OwnedRef ssh = check(PyObject_CallNoArgs(ssh_client_class.get()));
    check_status(PyObject_SetAttr(self, names._ssh, ssh.get()));

    OwnedRef stored_ssh = attribute(self, names._ssh);
    OwnedRef policy_class = paramiko_attribute(call, names.AutoAddPolicy);
    OwnedRef policy = check(PyObject_CallNoArgs(policy_class.get()));
    check(PyObject_CallMethodOneArg(stored_ssh.get(), names.set_missing_host_key_policy, policy.get()));

    OwnedRef transport_class = paramiko_attribute(call, names.Transport);
    server.host = text_form(configured(self, names.host).get());
    server.port = text_form(configured(self, names.port).get());
    OwnedRef endpoint = points::endpoint(*options, server.host.get(), server.port.get());
    if (!endpoint) {
        endpoint = transport_address(server);
    }
    OwnedRef transport = check(PyObject_CallOneArg(transport_class.get(), endpoint.get()));

    // The transport is already connected to the server and runs a thread of
    // its own. Nothing keeps it once this call has failed, so end it here
    // rather than leave a live socket behind; the caller sees the original
    // error, never one from the close.
    try {
        points::transport_made(transport.get(), endpoint.get(), *options);
        points::before_credentials(globals, transport.get(), *options);
        OwnedRef user = server.user = configured(self, names.user);
        OwnedRef password = configured(self, names.password);
        if (!points::authenticate(globals, transport.get(), user.get(), password.get(), *options)) {
            OwnedRef keywords = check(PyTuple_Pack(2, names.username, names.password));
            PyObject* arguments[] = {transport.get(), user.get(), password.get()};
            check(PyObject_VectorcallMethod(names.connect, arguments, 1, keywords.get()));
        }

        OwnedRef sftp_client_class = paramiko_attribute(call, names.SFTPClient);
        OwnedRef sftp = points::open_sftp(sftp_client_class.get(), transport.get(), *options);
        if (!sftp) {
            sftp = check(PyObject_CallMethodOneArg(sftp_client_class.get(), names.from_transport, transport.get()));
        }
        check_status(PyObject_SetAttr(self, names._sftp, sftp.get()));
        points::after_connecting(sftp.get(), server.label().get(), std::move(options));
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
        points::method_failed(call, label.get());
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
    if (points::leave_to_parent(sftp.get())) {
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
    points::QuietFailures dropped_anyway;
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
