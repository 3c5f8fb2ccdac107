// The parsers of the option table's value types, shared by every name of a
// type. Each takes the value a configuration holds, and gives its checked
// form: empty when the value leaves the option unset, a ValueError naming
// the option (and the accepted forms, never a secret value) when it is
// malformed.
#pragma once

#include "sftp_main/ref.hpp"

#include <vector>

namespace sftp {

enum class ValueType { Text, Port, Flag, Seconds, Path, PinList, Secret, Callable, ByteCount, Count };

// The range a ByteCount takes: a kibibyte up to 16 MiB.
inline constexpr long long kMinByteCount = 1LL << 10;
inline constexpr long long kMaxByteCount = 1LL << 24;
// The most a Count takes.
inline constexpr long long kMaxCount = 100;

// Raises `type(message)` with `cause` as its __cause__ (and context), as
// `raise ValueError(...) from error` does.
[[noreturn]] void raise_from(PyObject* type, PyObject* message, const PendingError& cause);
[[noreturn]] void raise_from(PyObject* type, const char* message, const PendingError& cause);

// One accepted server key: by its SHA256 digest, or by its whole public key
// blob when it was given as a key line.
struct HostKeyPin {
    OwnedRef digest;       // bytes, 32 long
    OwnedRef blob;         // bytes, or empty for a fingerprint pin
    OwnedRef key_type;     // "ssh-ed25519" etc., or empty for a fingerprint pin
    OwnedRef fingerprint;  // "SHA256:…", for messages
};

namespace parse {

// A path given as str, bytes or os.PathLike, as text; a false value is
// unset. Anything else raises ValueError naming `option` and the value's
// type, never the value.
OwnedRef path(PyObject* value, const char* option);

// Seconds as a float. None, an empty text or an empty container leave the
// limit unset; zero, False, and more than the platform's waits take
// (threading.TIMEOUT_MAX) are mistakes, not "no limit".
OwnedRef seconds(PyObject* value, const char* option);

// A number of bytes as an int, from an int or the decimal text of one,
// within kMinByteCount..kMaxByteCount. None and the empty text leave it
// unset; zero, a negative number, a bool, a float and anything out of the
// range are mistakes.
OwnedRef byte_count(PyObject* value, const char* option);

// A count as an int, from an int or the decimal text of one, 0 to
// kMaxCount. None and the empty text leave it unset, and so does 0; a
// negative number, a bool, a float and anything larger are mistakes.
OwnedRef count(PyObject* value, const char* option);

// True for a true value, empty for a false one.
OwnedRef flag(PyObject* value, const char* option);

// The callable, or empty for a false value; a true value that cannot be
// called raises.
OwnedRef callable(PyObject* value, const char* option);

// Bytes, or None when no secret is set; the value is never shown.
OwnedRef secret(PyObject* value, const char* option);

// A text form of a true value; empty for a false one.
OwnedRef text(PyObject* value, const char* option);

// "SHA256:…" fingerprints, public key lines, or a non-empty list or tuple
// of these. None, False and the empty text leave the option unset.
std::vector<HostKeyPin> pins(PyObject* value);

// The checked form of a value of `type`, by which two configurations are
// compared: the pins as a frozenset of their fingerprints.
OwnedRef checked(ValueType type, PyObject* value, const char* option);

}  // namespace parse

// The SHA-256 digest of a key blob, and "SHA256:…" of a digest as OpenSSH prints it.
OwnedRef sha256_digest(PyObject* blob);
OwnedRef fingerprint_text(PyObject* digest);

}  // namespace sftp
