// Key login to the server, opt-in: "key_file", a private key of any type
// paramiko reads, and "key_passphrase", its passphrase as text or bytes.
// With a true "key_file", _connect logs in with the key, and with
// "password" too when the server asks for both. Neither the path nor the
// passphrase ever goes into a message.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

struct KeyLogin {
    OwnedRef key;  // the paramiko key, or empty: password login

    explicit operator bool() const noexcept { return static_cast<bool>(key); }
};

// The key of "key_file" (with "key_passphrase") is read into the options
// value by read_key_login (options.hpp). A key that cannot be read or
// decrypted raises ValueError naming "key_file" or "key_passphrase",
// chained to paramiko's (or the OS's) error.

// auth_publickey; on partial success, auth_password when the server wants a
// password and one is set. Anything else the server still wants raises
// paramiko.AuthenticationException.
void log_in_with_key(PyObject* module_globals, PyObject* transport, PyObject* user, PyObject* password,
                     const KeyLogin& login);

}  // namespace sftp
