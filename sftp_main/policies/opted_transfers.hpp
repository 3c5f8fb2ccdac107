// "atomic_upload" (the upload extension point, opted_transfers.cpp) and
// what the transfers that take "progress" share.
#pragma once

#include "sftp_main/ref.hpp"

#include <string>

namespace sftp::transfers {

// ("callback",): the keyword paramiko's transfers take the progress
// callable under.
OwnedRef callback_keyword();

// Where an atomic upload is staged: a directory of the caller's own (mode
// 0700) beside the destination, named ".NAME.<suffix>.part", holding the
// file NAME, so that no other user of the server can open it while it
// holds the new contents (a put into the existing file would keep its
// private mode throughout; a new file gets the server's default mode). A
// server that makes no directory gets the file ".NAME.<suffix>.part"
// beside the destination instead.
struct Staging {
    OwnedRef directory;  // the private directory, or empty
    OwnedRef file;

    // Removes what was staged, where the connection still allows; raises nothing.
    void remove_quietly(PyObject* client) const noexcept;
};

// Makes the staging for the remote `destination`.
Staging make_staging(PyObject* client, PyObject* destination, const std::string& suffix);
// The staging directory's path for `destination`, made or not.
OwnedRef staging_directory(PyObject* destination, const std::string& suffix);
// The staging in the existing private `directory`.
Staging staging_in(PyObject* destination, OwnedRef directory);

// Gives the staged file the replaced file's permission bits and moves it
// onto `destination` with posix_rename; on a failure, what was staged is
// removed and the failure raised (a refused rename as an OSError saying
// what the upload needs). There is no non-atomic fallback.
void finish_staged(PyObject* client, const Staging& staging, PyObject* destination);

}  // namespace sftp::transfers
