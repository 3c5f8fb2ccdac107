#include "sftp_main/policies/tcp_no_delay.hpp"

#include "sftp_main/policies/client_registry.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace sftp {

namespace {

bool is_tcp_socket(PyObject* candidate) {
    OwnedRef socket_module = check(PyImport_ImportModule("socket"));
    OwnedRef socket_class = check(PyObject_GetAttrString(socket_module.get(), "socket"));
    if (!PyType_Check(socket_class.get()) ||
        !PyObject_TypeCheck(candidate, reinterpret_cast<PyTypeObject*>(socket_class.get()))) {
        return false;
    }
    OwnedRef family = check(PyObject_GetAttrString(candidate, "family"));
    OwnedRef kind = check(PyObject_GetAttrString(candidate, "type"));
    const long family_number = PyLong_AsLong(family.get());
    const long kind_number = PyLong_AsLong(kind.get());
    if (PyErr_Occurred()) {
        throw PyErrorRaised{};
    }
    return (family_number == AF_INET || family_number == AF_INET6) && kind_number == SOCK_STREAM;
}

// `object.__dict__[name]`, or empty: no attribute hook of the object runs.
OwnedRef instance_attribute(PyObject* object, const char* name) {
    OwnedRef attributes = OwnedRef::steal(PyObject_GenericGetDict(object, nullptr));
    if (!attributes) {
        drop_error_of(PyExc_AttributeError);
        return {};
    }
    if (!PyDict_Check(attributes.get())) {
        return {};
    }
    PyObject* found = nullptr;
    check_status(PyDict_GetItemStringRef(attributes.get(), name, &found));
    return OwnedRef::steal(found);
}

void set_no_delay(PyObject* transport, PyObject* endpoint) {
    OwnedRef sock = is_tcp_socket(endpoint) ? OwnedRef::take(endpoint) : instance_attribute(transport, "sock");
    if (!sock || !is_tcp_socket(sock.get())) {
        return;
    }
    check(PyObject_CallMethod(sock.get(), "setsockopt", "iii", IPPROTO_TCP, TCP_NODELAY, 1));
}

// The C socket type, whose methods no subclass can replace with Python code
// (which could take a Ctrl-C halfway through switching back).
OwnedRef c_socket_type() {
    OwnedRef module = check(PyImport_ImportModule("_socket"));
    OwnedRef type = check(PyObject_GetAttrString(module.get(), "socket"));
    if (!PyType_Check(type.get())) {
        return {};
    }
    return type;
}

// The descriptor the socket object holds now, -1 once it is closed or
// detached.
int descriptor_of(PyObject* sock) {
    OwnedRef type = c_socket_type();
    if (!type || !PyObject_TypeCheck(sock, reinterpret_cast<PyTypeObject*>(type.get()))) {
        return -1;
    }
    OwnedRef fileno = check(PyObject_GetAttrString(type.get(), "fileno"));
    OwnedRef number = check(PyObject_CallOneArg(fileno.get(), sock));
    const int descriptor = PyLong_AsInt(number.get());
    if (descriptor == -1 && PyErr_Occurred()) {
        throw PyErrorRaised{};
    }
    return descriptor;
}

// The socket under the SFTP client the module connected in this process:
// client.sock (the channel), its transport, that transport's sock.
OwnedRef connected_socket(PyObject* client) {
    const clients::Entry* entry = clients::existing_entry(client);
    if (entry == nullptr || !entry->weak_reference || entry->connected_in != getpid()) {
        return {};
    }
    OwnedRef channel = instance_attribute(client, "sock");
    OwnedRef transport = channel ? instance_attribute(channel.get(), "transport") : OwnedRef();
    return transport ? instance_attribute(transport.get(), "sock") : OwnedRef();
}

}  // namespace

NagleDuringDownload::NagleDuringDownload(PyObject* client) {
    try {
        OwnedRef sock = connected_socket(client);
        const int descriptor = sock ? descriptor_of(sock.get()) : -1;
        int no_delay = 0;
        socklen_t length = sizeof no_delay;
        if (descriptor < 0 || getsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &no_delay, &length) != 0 ||
            no_delay == 0) {
            return;
        }
        const int off = 0;
        if (setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off) == 0) {
            socket_ = std::move(sock);
            descriptor_ = descriptor;
        }
    } catch (const PyErrorRaised&) {
        drop_ordinary_error();
    }
}

NagleDuringDownload::~NagleDuringDownload() {
    if (!socket_) {
        return;
    }
    PendingError pending;
    try {
        // Only while the object still holds the descriptor switched: once
        // closed, its number may be another file's.
        if (descriptor_of(socket_.get()) == descriptor_) {
            const int on = 1;
            setsockopt(descriptor_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
    } catch (const PyErrorRaised&) {
        PyErr_Clear();
    }
    pending.restore();
}

void disable_nagle(PyObject* transport, PyObject* endpoint) {
    try {
        set_no_delay(transport, endpoint);
    } catch (const PyErrorRaised&) {
        // Only an ordinary error is dropped; Ctrl-C still ends the connect.
        drop_ordinary_error();
    }
}

}  // namespace sftp
