#include "sftp_main/policies/key_login.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/options/options.hpp"
#include "sftp_main/globals.hpp"
#include "sftp_main/names.hpp"

namespace sftp {

namespace {

OwnedRef try_from_path(PyObject* pkey_class, PyObject* path, PyObject* passphrase) {
    return OwnedRef::steal(PyObject_CallMethodObjArgs(pkey_class, names.from_path, path, passphrase, nullptr));
}

// paramiko (through cryptography) says that a key is encrypted and no
// passphrase was given with a TypeError, or with its own
// PasswordRequiredException from its older loaders.
bool says_encrypted(PyObject* module_globals, PyObject* error) {
    if (PyErr_GivenExceptionMatches(error, PyExc_TypeError)) {
        return true;
    }
    OwnedRef required = paramiko_attribute(module_globals, names.PasswordRequiredException);
    return PyErr_GivenExceptionMatches(error, required.get()) != 0;
}

// Whether the file holds an encrypted key: loaded without a passphrase, it
// asks for one.
bool key_is_encrypted(PyObject* module_globals, PyObject* pkey_class, PyObject* path) {
    if (try_from_path(pkey_class, path, Py_None)) {
        return false;
    }
    PendingError probe = take_ordinary_error();
    return says_encrypted(module_globals, probe.get());
}

OwnedRef load_key(PyObject* module_globals, PyObject* path, PyObject* passphrase) {
    OwnedRef pkey_class = paramiko_attribute(module_globals, names.PKey);
    if (OwnedRef key = try_from_path(pkey_class.get(), path, passphrase)) {
        return key;
    }
    PendingError failure = take_ordinary_error();
    if (PyErr_GivenExceptionMatches(failure.get(), PyExc_OSError)) {
        raise_from(PyExc_ValueError, "key_file cannot be read: the private key file could not be opened", failure);
    }
    const bool passphrase_given = passphrase != Py_None;
    if (!passphrase_given) {
        if (says_encrypted(module_globals, failure.get())) {
            raise_from(PyExc_ValueError, "key_passphrase is not set, and key_file holds an encrypted private key",
                       failure);
        }
    } else if (PyErr_GivenExceptionMatches(failure.get(), PyExc_TypeError)) {
        // A passphrase for a key that has none: OpenSSH and paramiko's own
        // loaders ignore it, and so does this.
        if (OwnedRef key = try_from_path(pkey_class.get(), path, Py_None)) {
            return key;
        }
        PendingError second = take_ordinary_error();
        raise_from(PyExc_ValueError, "key_file is not a private key that paramiko reads", second);
    } else if (key_is_encrypted(module_globals, pkey_class.get(), path)) {
        raise_from(PyExc_ValueError, "key_passphrase does not decrypt the private key in key_file", failure);
    }
    raise_from(PyExc_ValueError, "key_file is not a private key that paramiko reads", failure);
}

[[noreturn]] void refuse_partial_login(PyObject* module_globals, PyObject* remaining, bool password_wanted) {
    OwnedRef error_class = paramiko_attribute(module_globals, names.AuthenticationException);
    OwnedRef message = password_wanted
                           ? check(PyUnicode_FromString(
                                 "the server accepted key_file and wants a password as well, but no password is set"))
                           : check(PyUnicode_FromFormat(
                                 "the server accepted the login so far and still wants %R, which this client does not offer",
                                 remaining));
    PyErr_SetObject(error_class.get(), message.get());
    throw PyErrorRaised{};
}

}  // namespace

void read_key_login(Options& options, std::span<const OwnedRef> values, const ReadContext& context) {
    const OwnedRef& key_file = values[0];
    if (!key_file || !is_true(key_file.get())) {
        return;
    }
    OwnedRef path = parse::path(key_file.get(), "key_file");
    OwnedRef secret = parse::secret(values[1].get(), "key_passphrase");
    options.key_login.key = load_key(context.module_globals, path.get(), secret.get());
}

void log_in_with_key(PyObject* module_globals, PyObject* transport, PyObject* user, PyObject* password,
                     const KeyLogin& login) {
    OwnedRef remaining =
        check(PyObject_CallMethodObjArgs(transport, names.auth_publickey, user, login.key.get(), nullptr));
    if (!is_true(remaining.get())) {
        return;
    }
    // Partial success: the key is accepted, and the server names what it
    // wants besides (AuthenticationMethods publickey,password).
    const bool password_wanted = check_status(PySequence_Contains(remaining.get(), names.password)) == 1;
    if (!password_wanted || !is_true(password)) {
        refuse_partial_login(module_globals, remaining.get(), password_wanted);
    }
    OwnedRef keywords = check(PyTuple_Pack(2, names.username, names.password));
    PyObject* arguments[] = {transport, user, password};
    remaining = check(PyObject_VectorcallMethod(names.auth_password, arguments, 1, keywords.get()));
    if (is_true(remaining.get())) {
        refuse_partial_login(module_globals, remaining.get(), false);
    }
}

}  // namespace sftp
