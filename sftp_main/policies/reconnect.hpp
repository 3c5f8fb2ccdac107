// "retries", opt-in: a transfer whose connection drops reconnects the
// instance and carries on.
//
// A drop is the end of the stream, a reset, paramiko's "connection
// dropped", the "timeout" expiring on the transfer, or any failure after
// which the connection is no longer active. Nothing else is retried: a
// status the server sends (no such file, permission refused), a refused
// host key or login, a failure of the caller's progress callback.
//
// The reconnect closes the old clients through the instance's `_close` and
// makes the instance's own `_connect`, with every check it makes. Beyond
// those, the server must show the host key the dropped connection had: a
// reconnect sent elsewhere is refused before any credential goes out. The
// directory `_chdir` set is set on the new client.
#pragma once

#include "sftp_main/ref.hpp"

#include <functional>

namespace sftp {

struct Options;

namespace reconnect {

// Runs `attempt(client)` with the SFTP client in `_sftp`; while the
// connection under it drops and "retries" allows, waits (1, 2, 4, 4… s),
// reconnects and runs it again with the new client. A session found dead
// before the first attempt is reconnected first, within the same count. `attempts` counts the
// attempts made. `progress` is the caller's callback, or null; `attempt` is
// given the one to call instead, whose failures are never retried.
void with_retries(PyObject* self, const Options& options, PyObject* progress, int& attempts,
                  const std::function<void(PyObject* client, PyObject* progress)>& attempt);

// During a reconnect on this thread, refuses a server that shows another
// host key than the dropped connection's, before any credential is sent.
void check_same_server(PyObject* module_globals, PyObject* transport);

// Whether this thread is reconnecting, expecting a server's key: its
// session is then started apart, whatever the configuration now says.
bool expecting_server_key() noexcept;

// Keeps the key of the server `sftp` is connected to in `options`.
void remember_server_key(PyObject* sftp, Options& options);

// The directory `_chdir` set on `client`, or empty where it has none.
OwnedRef remote_directory(PyObject* client);

// Whether the SFTP client's channel and transport are still open; true
// where the client does not tell.
bool connection_alive(PyObject* client);

}  // namespace reconnect
}  // namespace sftp
