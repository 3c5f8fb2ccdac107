// A download whose local destination is written whole or not at all.
//
// paramiko's `get` truncates the local file before it knows that the remote
// file can be read. Where the destination can be staged (staged_file.hpp)
// and the client has `getfo`, the bytes go through `getfo` into the staged
// file's own descriptor, and the staged file takes the destination's place
// only when the transfer and the size check that `get` makes have both
// succeeded. Every other download is the client's `get(source,
// destination)`, as the plain transfer makes it.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

// Fetches the remote `source` through `client` into the local `destination`,
// holding the client's lock for the client call. `progress`, when not empty,
// is given to `getfo` or `get` as callback=progress (called with the bytes
// done and the bytes in all); what it raises ends the transfer, and a
// staged destination then stays as it was.
// Raises (PyErrorRaised) what the transfer raised.
void download_whole(PyObject* client, PyObject* source, PyObject* destination, const OwnedRef& progress);

}  // namespace sftp
