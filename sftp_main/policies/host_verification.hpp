// The session started apart from paramiko's connect(), for "host_key",
// "timeout", "key_file" and "known_hosts": key exchange (under the time
// limit, when one is set), then the server's key verified by one chain, and
// only then the key or the password sent. The chain: a key known_hosts
// marks @revoked is refused, then the "host_key" pins are tried, then the
// known_hosts listing; with both, a key that either lists is accepted.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

struct Options;

// socket.create_connection((host, int(port)), timeout), from the text forms
// of host and port: the TCP connect bounded.
OwnedRef open_bounded_socket(PyObject* host_text, PyObject* port_text, const Options& options);

// Key exchange on a fresh transport, under the time limit, with the listed
// key types preferred; then the chain. A refused key raises
// sftp_main.HostKeyMismatch (a paramiko.BadHostKeyException) naming both
// fingerprints, or known_hosts' refusal of an unlisted server.
void start_verified_session(PyObject* module_globals, PyObject* transport, const Options& options);

// The SFTP client on an authenticated transport, its channel bounded by the
// time limit from the subsystem request on.
OwnedRef open_bounded_sftp(PyObject* sftp_client_class, PyObject* transport, const Options& options);

}  // namespace sftp
