// The two opt-in connection options: "host_key", the server key(s) a
// connection must present before any credential is sent, and "timeout", a
// limit in seconds on every step of connecting and on every SFTP request
// afterwards. A caller who sets neither gets the plain connection.
#pragma once

#include "sftp_main/policies/key_login.hpp"
#include "sftp_main/policies/known_hosts.hpp"
#include "sftp_main/ref.hpp"

#include <vector>

namespace sftp {

// One accepted server key: by its SHA256 digest, or by its whole public key
// blob when it was given as a key line.
struct HostKeyPin {
    OwnedRef digest;       // bytes, 32 long
    OwnedRef blob;         // bytes, or empty for a fingerprint pin
    OwnedRef key_type;     // "ssh-ed25519" etc., or empty for a fingerprint pin
    OwnedRef fingerprint;  // "SHA256:…", for messages
};

struct ConnectionOptions {
    std::vector<HostKeyPin> pins;  // empty: any host key
    OwnedRef timeout;              // a float, or empty: paramiko's defaults
    KeyLogin key_login;            // empty: password login
    KnownHosts known_hosts;        // empty: no known_hosts file

    bool any() const noexcept {
        return !pins.empty() || static_cast<bool>(timeout) || static_cast<bool>(key_login) ||
               static_cast<bool>(known_hosts);
    }
};

// Reads and checks `configuration.host_key` and `configuration.timeout`,
// then "key_file", "key_passphrase" and "known_hosts" (key_login.hpp,
// known_hosts.hpp). A missing attribute leaves an option unset, and so do
// None, False and the empty text as a host key, and a false value other
// than zero and False as a timeout; a malformed value (an empty list of
// host keys among them) raises ValueError naming the option and the
// accepted forms.
ConnectionOptions read_connection_options(PyObject* module_globals, PyObject* configuration_owner);

// configuration.<name> of the instance's `_config`, or empty when the
// instance has no `_config` or the configuration no such name.
OwnedRef optional_setting(PyObject* configuration_owner, PyObject* name);

// The SHA-256 digest of a key blob, and "SHA256:…" of a digest as OpenSSH prints it.
OwnedRef sha256_digest(PyObject* blob);
OwnedRef fingerprint_text(PyObject* digest);

// Raises sftp_main.HostKeyMismatch (a paramiko.BadHostKeyException) for
// `hostname` and the server's key, with `message`.
[[noreturn]] void raise_host_key_mismatch(PyObject* module_globals, PyObject* hostname, PyObject* server_key,
                                          PyObject* message);

// One option's value in its checked form, by which two configurations are
// compared: empty when the value leaves the option unset, ValueError as
// above when it is malformed. The host keys as a frozenset of their
// fingerprints; the timeout as a float.
OwnedRef host_key_identity(PyObject* value);
OwnedRef timeout_seconds(PyObject* value);

// socket.create_connection((host, int(port)), timeout), from the text forms
// of host and port: the TCP connect bounded.
OwnedRef open_bounded_socket(PyObject* host_text, PyObject* port_text, const ConnectionOptions& options);

// Key exchange on a fresh transport under the time limit, then the server's
// key checked against the pins. On a mismatch raises a
// paramiko.BadHostKeyException naming both fingerprints; nothing has been
// sent to authenticate by then.
void start_verified_session(PyObject* module_globals, PyObject* transport, const ConnectionOptions& options);

// The SFTP client on an authenticated transport, its channel bounded by the
// time limit from the subsystem request on.
OwnedRef open_bounded_sftp(PyObject* sftp_client_class, PyObject* transport, const ConnectionOptions& options);

}  // namespace sftp
