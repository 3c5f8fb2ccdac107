#include "sftp_main/policies/host_verification.hpp"

#include "sftp_main/address.hpp"
#include "sftp_main/calls.hpp"
#include "sftp_main/globals.hpp"
#include "sftp_main/names.hpp"
#include "sftp_main/options/options.hpp"
#include "sftp_main/policies/known_hosts.hpp"

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

// paramiko's BadHostKeyException prints both keys in base64; a subclass
// prints the fingerprints instead, and still carries the hostname and the
// server's key as paramiko's does. It is made once for the class paramiko
// names, and kept for the life of the process, as the module is.
PyObject* mismatch_class_for(PyObject* base) {
    static PyObject* made_for = nullptr;
    static PyObject* made = nullptr;
    if (base != made_for) {
        OwnedRef bases = check(PyTuple_Pack(1, base));
        OwnedRef body = check(PyDict_New());
        OwnedRef plain_str = check(PyObject_GetAttrString(PyExc_BaseException, "__str__"));
        check_status(PyDict_SetItemString(body.get(), "__str__", plain_str.get()));
        OwnedRef module_name = check(PyUnicode_FromString("sftp_main"));
        check_status(PyDict_SetItemString(body.get(), "__module__", module_name.get()));
        OwnedRef fresh = check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                                     "HostKeyMismatch", bases.get(), body.get()));
        OwnedRef previous = OwnedRef::steal(made);
        OwnedRef previous_base = OwnedRef::steal(made_for);
        made = fresh.release();
        made_for = Py_NewRef(base);
    }
    return made;
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

}  // namespace

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

[[noreturn]] void raise_host_key_mismatch(PyObject* module_globals, PyObject* hostname, PyObject* server_key,
                                          PyObject* message) {
    OwnedRef base = paramiko_attribute(module_globals, names.BadHostKeyException);
    PyObject* mismatch_class = mismatch_class_for(base.get());
    OwnedRef error = check(PyObject_CallFunctionObjArgs(mismatch_class, hostname, server_key, Py_None, nullptr));
    OwnedRef args = check(PyTuple_Pack(1, message));
    check_status(PyObject_SetAttr(error.get(), names.args, args.get()));
    PyErr_SetRaisedException(error.release());
    throw PyErrorRaised{};
}

void verify_host(PyObject* module_globals, PyObject* transport, const Options& options) {
    if (!options.pins.empty() || options.known_hosts) {
        verify_host_key(module_globals, transport, options);
    }
}

}  // namespace sftp
