// A download whose local destination is written whole or not at all.
//
// paramiko's `get` truncates the local file before it knows that the remote
// file can be read. Where the destination can be staged (staged_file.hpp)
// and the client has `getfo`, the bytes go through `getfo` into the staged
// file's own descriptor, and the staged file takes the destination's place
// only when the transfer and the size check that `get` makes have both
// succeeded. Every other download is left to the contract's `get(source,
// destination)`.
//
// Before either, the destination is looked at: a last component that is
// another user's symbolic link (neither this process's user's nor the
// directory owner's) is not followed, in any directory, and the size the
// server reports for the source is held against the room the destination
// has (reported_size.hpp).
#pragma once

#include "sftp_main/ref.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sftp {

struct ForeignLink;

// A local destination as a file system path, or nothing when it is none
// (an object that is no path, an empty one, one with a NUL byte).
std::optional<std::string> local_path_of(PyObject* destination);

// Raises PermissionError's errno in an OSError: `link` at `destination` is
// not followed (staged_file.hpp).
[[noreturn]] void refuse_foreign_link(PyObject* destination, const ForeignLink& link);

// Fetches the remote `source` through `client` into the local `destination`
// when it can be staged and returns true; otherwise makes `contract_get`
// and returns false. Either runs holding the client's lock. `progress`,
// when not null, is given to `getfo` as callback=progress (called with the
// bytes done and the bytes in all); what it raises ends the transfer, and
// the destination then stays as it was. Raises (PyErrorRaised) what the
// transfer raised, and OSError for a link refused or a reported size that
// cannot fit, before any data moves.
// With `read_request` (block_size.hpp) not 0, the bytes come in requests of
// that size instead of through `getfo`.
bool download_staged(PyObject* client, PyObject* source, PyObject* destination, PyObject* progress,
                     const std::function<void()>& contract_get, std::uint32_t read_request = 0);

}  // namespace sftp
