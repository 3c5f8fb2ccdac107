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

// Nagle's algorithm back on for one download on a connection the module
// made in this process. A download sends only paramiko's read requests,
// thousands of small packets that its prefetch thread writes as fast as it
// can: without the algorithm each goes out as a segment of its own, which
// the server then has to take in one at a time. Nothing waits for a reply
// to one of them while later ones are unsent, so none is delayed.
//
// Make it while holding the client's lock and end it before releasing the
// lock: a call made next, on any thread, finds the socket as _connect left
// it. It leaves alone a socket that is not TCP, one whose option is already
// off, and one that was closed or replaced meanwhile. Raises nothing but an
// interrupt from the lookup; its end raises nothing and keeps any pending
// exception.
class NagleDuringDownload {
public:
    explicit NagleDuringDownload(PyObject* client);
    ~NagleDuringDownload();
    NagleDuringDownload(const NagleDuringDownload&) = delete;
    NagleDuringDownload& operator=(const NagleDuringDownload&) = delete;

private:
    OwnedRef socket_;  // the socket switched, while it is to be switched back
    int descriptor_ = -1;
};

}  // namespace sftp
