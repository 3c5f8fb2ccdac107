// The size a server reports for a download's source, held against the room
// of the destination before paramiko acts on it.
//
// paramiko's getfo (and get, through it) stats the source and at once queues
// read requests for the whole size the server reports: one list entry per
// 32 KiB, all made before any data arrives. A server that reports 2^46 bytes
// for a small file so makes it build a list of 2^31 entries and exhausts
// memory, whatever "timeout" says. While the limit stands, the stat that
// getfo makes of the source on this thread is the client's own, followed by
// the check, so that paramiko makes the same calls in the same order and a
// size that fits changes nothing; a size that cannot fit ends the transfer
// before any read request is queued.
#pragma once

#include "sftp_main/ref.hpp"

#include <cstdint>

namespace sftp {

class ReportedSizeLimit {
public:
    // From here on, a stat of `source` on `client` on this thread that
    // reports more than `room` bytes raises OSError(ENOSPC) naming
    // `destination`. A client with no `stat`, or whose attributes cannot be
    // set, is left as it is. The caller holds the client's lock for the
    // limit's life, and keeps `client`, `source` and `destination` alive.
    ReportedSizeLimit(PyObject* client, PyObject* source, PyObject* destination, std::uint64_t room);
    // Gives the client its own `stat` back; an exception being raised stays.
    ~ReportedSizeLimit();
    ReportedSizeLimit(const ReportedSizeLimit&) = delete;
    ReportedSizeLimit& operator=(const ReportedSizeLimit&) = delete;

private:
    OwnedRef attributes_;  // the client's __dict__, while the limit is in it
    OwnedRef checked_;     // the checking stat put there
    OwnedRef previous_;    // what the dict held under "stat" before, if anything
};

}  // namespace sftp
