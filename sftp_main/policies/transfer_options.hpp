// The opt-in transfer options, "atomic_upload" and "progress", read by
// _connect and kept with the SFTP client it opens, together with the
// client's "timeout" for the notes on a TimeoutError. A transfer on a client
// without a record makes exactly the calls it always made.
//
// The record is kept in the client's registry entry and ends with it. The
// progress callable is held through a weak reference where it takes one:
// the configuration holds it strongly, and a strong hold from here could
// keep a cycle through the instance alive for good.
#pragma once

#include "sftp_main/policies/client_registry.hpp"
#include "sftp_main/ref.hpp"

namespace sftp::transfers {

struct TransferOptions {
    bool atomic_upload = false;
    OwnedRef progress;  // a callable, or empty

    bool any() const noexcept { return atomic_upload || static_cast<bool>(progress); }
};

// Reads `configuration.atomic_upload`, then `configuration.progress`. A
// missing attribute or a false value leaves an option unset; a "progress"
// that is true and not callable raises ValueError naming it.
TransferOptions read_transfer_options(PyObject* configuration_owner);

// True for a true "atomic_upload", empty for a false one: an upload that
// silently stopped being atomic is what the option is there to prevent.
OwnedRef atomic_upload_switch(PyObject* value);

using ClientRecord = clients::TransferRecord;

// Keeps `options` and `timeout` (borrowed, may be null) for `client`,
// replacing any earlier record; keeps nothing when there is nothing to
// keep. Raises when the options cannot be kept for this client (it takes
// no weak reference); a timeout alone is then dropped quietly.
void remember(PyObject* client, const TransferOptions& options, PyObject* timeout);

// The record of `client`, or null. Valid until Python code next runs.
const ClientRecord* record_of(PyObject* client) noexcept;

// The progress callable of a record, or empty (none set, or gone).
OwnedRef progress_of(const ClientRecord& record);

}  // namespace sftp::transfers
