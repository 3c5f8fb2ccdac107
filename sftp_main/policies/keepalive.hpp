// "keepalive", opt-in: seconds between the keepalive requests paramiko's
// transport sends while the session is otherwise idle, so that NAT and
// firewalls between the module and the server keep an idle connection.
// paramiko counts the interval in whole seconds: a fraction is rounded up,
// never down to zero, which would turn keepalives off.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

struct Options;

// transport.set_keepalive(seconds) on a fresh transport, when "keepalive"
// is among `options`; nothing otherwise. What it raises fails the connect.
void set_keepalive(PyObject* transport, const Options& options);

}  // namespace sftp
