// The two opt-in connection options: "host_key", the server key(s) a
// connection must present before any credential is sent, and "timeout", a
// limit in seconds on every step of connecting and on every SFTP request
// afterwards. A caller who sets neither gets the plain connection.
#pragma once

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

    bool any() const noexcept { return !pins.empty() || static_cast<bool>(timeout); }
};

// Reads and checks `configuration.host_key` and `configuration.timeout`. A
// missing attribute leaves an option unset, and so do None, False and the
// empty text as a host key, and a false value other than zero and False as
// a timeout; a malformed value (an empty list of host keys among them)
// raises ValueError naming the option and the accepted forms.
ConnectionOptions read_connection_options(PyObject* configuration_owner);

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
