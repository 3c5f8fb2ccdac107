#include "sftp_main/extensions/tcp_no_delay.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

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

// The transport's `sock`, read from its instance dictionary: no attribute
// hook of the object runs.
OwnedRef transport_socket(PyObject* transport) {
    OwnedRef attributes = OwnedRef::steal(PyObject_GenericGetDict(transport, nullptr));
    if (!attributes) {
        drop_error_of(PyExc_AttributeError);
        return {};
    }
    if (!PyDict_Check(attributes.get())) {
        return {};
    }
    PyObject* found = nullptr;
    check_status(PyDict_GetItemStringRef(attributes.get(), "sock", &found));
    return OwnedRef::steal(found);
}

void set_no_delay(PyObject* transport, PyObject* endpoint) {
    OwnedRef sock = is_tcp_socket(endpoint) ? OwnedRef::take(endpoint) : transport_socket(transport);
    if (!sock || !is_tcp_socket(sock.get())) {
        return;
    }
    check(PyObject_CallMethod(sock.get(), "setsockopt", "iii", IPPROTO_TCP, TCP_NODELAY, 1));
}

}  // namespace

void disable_nagle(PyObject* transport, PyObject* endpoint) {
    try {
        set_no_delay(transport, endpoint);
    } catch (const PyErrorRaised&) {
        // Only an ordinary error is dropped; Ctrl-C still ends the connect.
        drop_ordinary_error();
    }
}

}  // namespace sftp
