// TCP_NODELAY on the connection to the server. paramiko sends each SFTP
// write as a full packet and a short one; with Nagle's algorithm on, the
// short one waits for the server's delayed acknowledgement. The option is a
// setting of the socket only: paramiko sees no call of its own more.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

// Sets TCP_NODELAY on the socket a fresh transport runs on: `endpoint` when
// the module made that socket itself, else the transport's own `sock`. It
// is skipped where that is not a TCP socket (a proxy, a test's fake), and
// an error from it is dropped: the connection never fails over it. Nothing
// is called on an object that is not a socket.
void disable_nagle(PyObject* transport, PyObject* endpoint);

}  // namespace sftp
