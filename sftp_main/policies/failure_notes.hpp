// Notes on the exceptions the methods let through, so that a log line says
// what failed: "sftp_main: _stat('/data/x.csv') on deploy@files.example:22".
//
// A note names the method, its arguments (a configuration mapping with
// every secret-looking value masked) and the server. An exception carries
// at most one such note, however many methods it passes through, and
// after it, where the exception tells, one that says what to do. Its type
// and identity stay as they are, and so do its arguments, but for those of
// a TimeoutError that has none. Nothing here runs on the success path, and
// nothing here raises.
#pragma once

#include "sftp_main/method.hpp"

#include <optional>

namespace sftp::notes {

// Adds the note to the exception being raised. `server` is the label to
// show; when not given, it is found from the call (the configuration
// mapping passed, or the server recorded for the instance's SFTP client).
void describe_failure(const Invocation& call, std::optional<PyObject*> server = std::nullopt) noexcept;

// What to do about `exception`, a failure of `call`, where the exception
// alone tells, as a note of its own: call _connect() first; the connection
// was lost, and what a transfer may have left; the server refused a write
// (a full disk, a read-only file system, a quota). A TimeoutError without
// a message gets the limit it ran out of as its message. describe_failure
// does this too; this is for a failure that is not raised, only logged.
// Raises nothing.
void explain_failure(const Invocation& call, PyObject* exception) noexcept;

// describe_failure for a failure of the "ssh" step itself: the note names
// the jump host ("on jump host hop@jump.example:22") from the "ssh_user",
// "ssh_host" and "ssh_port" of the configuration mapping passed, and no
// server when that names none.
void describe_jump_host_failure(const Invocation& call) noexcept;

// The note's text for `call`: "sftp_main: _upload('/a', 'b') on u@h:22".
// Raises on failure.
OwnedRef note_text(const Invocation& call);

// "no answer within 3.0 s": the time limit of the instance's SFTP client,
// for a method that forwards to it; empty when it has none. Raises nothing.
OwnedRef timeout_reason(const Invocation& call) noexcept;

// Adds `text` as a note to the exception being raised.
void add_note(PyObject* text) noexcept;

// "user@host:port" ("user@[::1]:port" for an IPv6 literal); "host:port"
// without a user. Empty when there is no host or on any failure.
OwnedRef server_label(PyObject* user, PyObject* host_text, PyObject* port_text) noexcept;

// A mapping's repr with the values of secret-looking names masked; the
// type's name for anything that is not a dict. Raises on failure.
OwnedRef masked_repr(PyObject* mapping);

// repr(value), shortened, or "'***'" when `name` looks like a secret's.
// Raises on failure.
OwnedRef shown_setting(PyObject* name, PyObject* value);

// While one lives on a thread, failures get no notes there: the finaliser
// drops whatever _close raises, and a note would only cost time.
class QuietScope {
public:
    QuietScope() noexcept;
    ~QuietScope();
    QuietScope(const QuietScope&) = delete;
    QuietScope& operator=(const QuietScope&) = delete;
};

}  // namespace sftp::notes
