// The one chain that verifies the server's key, after the key exchange and
// before any credential leaves: a key known_hosts marks @revoked is refused,
// then the "host_key" pins are tried, then the known_hosts listing. With
// both "host_key" and "known_hosts", a key that either lists is accepted.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

struct Options;

// How every refusal of the server's key ends: nothing has been sent to log in.
inline constexpr const char* kNoCredentialsSent = "; no credentials were sent";

// Of the host key algorithms paramiko offers on `transport`, those of the
// pinned key lines and of the keys known_hosts lists for the server go
// first, so that a server with several keys shows a listed one.
void prefer_listed_key_types(PyObject* transport, const Options& options);

// Checks the server's key when "host_key" or "known_hosts" is set; raises
// sftp_main.HostKeyMismatch (a paramiko.BadHostKeyException) naming both
// fingerprints, or known_hosts' refusal of an unlisted server.
void verify_host(PyObject* module_globals, PyObject* transport, const Options& options);

// Raises sftp_main.HostKeyMismatch for `hostname` and the server's key,
// with `message`.
[[noreturn]] void raise_host_key_mismatch(PyObject* module_globals, PyObject* hostname, PyObject* server_key,
                                          PyObject* message);

}  // namespace sftp
