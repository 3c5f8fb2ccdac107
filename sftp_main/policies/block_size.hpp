// "block_size", opt-in: large transfers in SFTP requests of that many bytes.
//
// The SFTP channel is opened on the connection's own transport with a
// window and a packet size that keep a pipeline of such requests moving,
// and the server's limits (limits@openssh.com) are asked once: requests
// stay within them, and within 256 KiB when the server states none. The
// transfers then send their own read or write requests, a bounded number
// in flight, and move the bytes between the local descriptor and the
// request's bytes with the interpreter lock released. A read answered with
// fewer bytes than asked is completed before the next one is written, and
// later requests are made no larger than the server answers.
#pragma once

#include "sftp_main/policies/file_descriptor.hpp"
#include "sftp_main/ref.hpp"

#include <sys/stat.h>

#include <cstdint>

namespace sftp {

struct Options;

namespace blocks {

// The bytes the requests in flight may hold at most.
inline constexpr std::uint32_t kPipelineBytes = 8U << 20;
// The request size without limits the server states.
inline constexpr std::uint32_t kUnstatedLimit = 256U << 10;

// Opens the SFTP client over a session channel of a window and packet size
// for the block size, with the "timeout" on it when set, and notes the
// request sizes in `options`. Without "block_size" (for "retries" and
// "resume"), reads are sized as where the server states no limit, and
// writes as paramiko's.
OwnedRef open_sized_sftp(PyObject* sftp_client_class, PyObject* transport, Options& options);

// get's work: the remote `source` into the open descriptor `descriptor`,
// `progress(done, total)` after each block, and the size check. Returns
// nothing; raises what failed.
void receive(PyObject* client, PyObject* source, int descriptor, PyObject* progress, std::uint32_t request);

// put's work: the local `source` (a path) into the remote `destination`,
// then the check that the server holds as many bytes as were read.
void send(PyObject* client, PyObject* source, PyObject* destination, PyObject* progress, std::uint32_t request);

// receive's work past the first `start` bytes of a remote file of `total`,
// which the descriptor already holds: the rest is written after them.
void receive_rest(PyObject* client, PyObject* source, int descriptor, PyObject* progress, std::uint32_t request,
                  long long start, long long total);

// send's work from the open local descriptor `local` (named `source` in
// errors), past its first `start` bytes, which the remote `destination`
// already holds: it is then written where it stands, not truncated.
// `settled` receives how many bytes from the start the server has
// confirmed written, also when the transfer fails.
void send_rest(PyObject* client, int local, PyObject* source, PyObject* destination, PyObject* progress,
               std::uint32_t request, long long start, long long total, long long& settled);

// The local file `source` (a path) opened for reading, and what it is.
FileDescriptor open_source(PyObject* source, struct stat& status);

// The size in the remote attributes of `path`; OSError where they give none.
long long size_in(PyObject* attributes, PyObject* path);

// `length` bytes of the remote `path` from `offset` on, or fewer at its end.
OwnedRef read_range(PyObject* client, PyObject* path, long long offset, long long length);

// The size the server reports for the remote `path`.
long long remote_size(PyObject* client, PyObject* path);

}  // namespace blocks
}  // namespace sftp
