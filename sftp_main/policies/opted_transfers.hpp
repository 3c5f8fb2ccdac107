// Transfers for a client whose caller asked for "progress" or
// "atomic_upload". The caller holds the client's lock throughout.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp::transfers {

// ("callback",): the keyword paramiko's transfers take the progress
// callable under.
OwnedRef callback_keyword();

// client.<method>(source, destination), with callback=progress when
// `progress` is not null. An exception from the callback ends the transfer.
void transfer(PyObject* client, PyObject* method, PyObject* source, PyObject* destination, PyObject* progress);

// Puts `source` into a private directory of a hidden temporary name in
// `destination`'s remote directory (".NAME.<16 hex>.part/NAME"; where the
// server makes no directory, the file ".NAME.<16 hex>.part" itself), then
// moves it onto `destination` with posix_rename, so that a reader sees the
// old file or the whole new one. On any failure what was staged is removed
// where the connection still allows, and the failure raised; there is no
// non-atomic fallback.
void put_atomically(PyObject* client, PyObject* source, PyObject* destination, PyObject* progress);

}  // namespace sftp::transfers
