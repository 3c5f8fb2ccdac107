// sftp_main.HostKeyMismatch: how the pins and known_hosts refuse a key.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

// How every refusal of the server's key ends: nothing has been sent to log in.
inline constexpr const char* kNoCredentialsSent = "; no credentials were sent";

// Raises sftp_main.HostKeyMismatch (a paramiko.BadHostKeyException) for
// `hostname` and the server's key, with `message`.
[[noreturn]] void raise_host_key_mismatch(PyObject* module_globals, PyObject* hostname, PyObject* server_key,
                                          PyObject* message);

}  // namespace sftp
