// The caller's OpenSSH known_hosts file, opt-in: "known_hosts". Its lines
// are read by paramiko's HostKeyEntry, each into a paramiko HostKeys of its
// own (plain and hashed names, "[host]:port" for other ports than 22); the
// file is never written, and a key marked @revoked is refused. The server's
// key is checked after the key exchange and before any credential leaves:
// listed on any line, it connects; another key is a HostKeyMismatch; a
// server the file does not list is refused, with how to add it.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

struct KnownHosts {
    OwnedRef path;       // the file, as text
    OwnedRef host_keys;  // list of paramiko.HostKeys, one per host line of it
    OwnedRef revoked;    // set of the key blobs it marks @revoked
    OwnedRef name;       // what the server is listed under: "host" or "[host]:port"

    explicit operator bool() const noexcept { return static_cast<bool>(host_keys); }
};

// "known_hosts" is read into the options value by read_known_hosts
// (options.hpp): when it is true, the file, and the name the server is
// listed under: `known_hosts_name` when the configuration has one (the ssh
// step's name for the target behind the tunnel), else `host` and `port`. A
// file that cannot be read raises ValueError naming "known_hosts", chained
// to the error.

// The key types the file lists for the server, in its order (a list of texts).
OwnedRef listed_key_types(const KnownHosts& known);

// Raises sftp_main.HostKeyMismatch when the file marks the server's key @revoked.
void refuse_revoked_key(PyObject* module_globals, PyObject* server_key, PyObject* digest, const KnownHosts& known);

// Returns when the file lists the server's key for the server. Otherwise
// raises: sftp_main.HostKeyMismatch when it lists other keys, or when
// `pin_fingerprints` (a list of "SHA256:…" texts of "host_key", which did
// not match) is not empty; else paramiko.SSHException saying how to add the
// server to the file.
void check_known_host(PyObject* module_globals, PyObject* server_key, PyObject* blob, PyObject* digest,
                      const KnownHosts& known, PyObject* pin_fingerprints);

// With "ssh" on and a true "known_hosts" among what the caller set (the
// ssh step guard's settings()): the configuration the ssh step returned
// must still say what the target is listed under, "known_hosts_name", or
// point at the cleansed configuration's own host and port. Raises ValueError otherwise, before anything connects
// to the target. A caller without "known_hosts" sees no call at all.
void require_target_listing(PyObject* settings, PyObject* cleansed, PyObject* replacement);

}  // namespace sftp
