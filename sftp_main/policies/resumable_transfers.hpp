// Transfers under "retries" or "resume" (reconnect.hpp): the bytes move in
// requests of their own (block_size.hpp), so that a transfer can go on
// from any offset, and what was moved is kept between attempts.
//
// "resume", opt-in, keeps it between calls and processes as well:
//  - a download's bytes stay in a part file beside the destination,
//    ".NAME.<16 hex>.<size>.<mtime>.partial", whose hexadecimal digits
//    stand for the server and the remote path (with the directory `_chdir`
//    set, for a relative one), and whose size and
//    modification time are the remote file's. A later download of the same
//    file to the same destination goes on from the part's length, once the
//    last 64 KiB it holds match the server's; otherwise, and for a remote
//    file that changed, it starts afresh, and the parts of other versions
//    are removed. The part takes the destination's place as the staged
//    download's file does (staged_file.hpp).
//  - an upload is staged as "atomic_upload" stages it, under a name whose
//    digits stand for the local file's device, inode, size and
//    modification time, and the staged file is kept when the upload fails.
//    A later upload of the unchanged file to the same destination goes on
//    from the staged file's length, once its last 64 KiB match.
#pragma once

#include "sftp_main/ref.hpp"

#include <functional>

namespace sftp {

struct Options;

namespace resumable {

// `options.survives_drops()` must hold. `attempts` counts the attempts made.
// `fallback(client, progress)` downloads a destination that cannot be
// staged as the plain download would, once per attempt.
void download(PyObject* self, PyObject* source, PyObject* destination, const Options& options, PyObject* progress,
              int& attempts, const std::function<void(PyObject* client, PyObject* progress)>& fallback);
void upload(PyObject* self, PyObject* source, PyObject* destination, const Options& options, PyObject* progress,
            int& attempts);

}  // namespace resumable
}  // namespace sftp
