// A download whose local destination is written whole or not at all.
//
// paramiko's `get` truncates the local file before it knows that the remote
// file can be read. Where the destination can be staged (staged_file.hpp)
// and the client has `getfo`, the bytes go through `getfo` into the staged
// file's own descriptor, and the staged file takes the destination's place
// only when the transfer and the size check that `get` makes have both
// succeeded. Every other download is left to the contract's `get(source,
// destination)`.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

// Fetches the remote `source` through `client` into the local `destination`
// when it can be staged, holding the client's lock for the client call, and
// returns true; returns false when it cannot, having only looked up the
// client's getfo. `progress`, when not null, is given to `getfo` as
// callback=progress (called with the bytes done and the bytes in all); what
// it raises ends the transfer, and the destination then stays as it was.
// Raises (PyErrorRaised) what the transfer raised.
bool download_staged(PyObject* client, PyObject* source, PyObject* destination, PyObject* progress);

}  // namespace sftp
