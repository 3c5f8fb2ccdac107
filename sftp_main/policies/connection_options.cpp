#include "sftp_main/policies/connection_options.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/globals.hpp"
#include "sftp_main/names.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace sftp {

namespace {

constexpr const char* kHostKeyForms =
    "host_key must be an OpenSSH SHA256 fingerprint (\"SHA256:\" and base64 without padding, as "
    "ssh-keygen -lf prints it), a public key line (\"ssh-ed25519 AAAA... comment\", as in a .pub file, "
    "or after the host name as ssh-keyscan prints it), or a non-empty list or tuple of these";

constexpr const char* kTimeoutForm =
    "timeout must be a positive number of seconds: an int or a float, or the text of one";

constexpr std::string_view kFingerprintPrefix = "SHA256:";
// 32 bytes of SHA-256 in base64, the one padding character dropped.
constexpr std::size_t kFingerprintDigits = 43;

[[noreturn]] void reject(const char* forms, PyObject* value) {
    PyErr_Format(PyExc_ValueError, "%s; got %.200R", forms, value);
    throw PyErrorRaised{};
}

}  // namespace

// configuration.<name>, or empty when the configuration has no such name.
// An instance without `_config` has no options either: the plain connection
// then fails where it always did, after making the SSH client.
OwnedRef optional_setting(PyObject* configuration_owner, PyObject* name) {
    PyObject* found = nullptr;
    if (check_status(PyObject_GetOptionalAttr(configuration_owner, names._config, &found)) == 0) {
        return {};
    }
    OwnedRef configuration = OwnedRef::steal(found);
    check_status(PyObject_GetOptionalAttr(configuration.get(), name, &found));
    return OwnedRef::steal(found);
}

namespace {

std::string_view utf8_view(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        throw PyErrorRaised{};
    }
    return {data, static_cast<std::size_t>(size)};
}

std::string_view bytes_view(PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(bytes, &data, &size));
    return {data, static_cast<std::size_t>(size)};
}

// `call`, or empty when it raised a ValueError (binascii.Error is one).
template <typename Call>
OwnedRef unless_value_error(Call&& call) {
    OwnedRef result = OwnedRef::steal(call());
    if (!result) {
        drop_error_of(PyExc_ValueError);
    }
    return result;
}

OwnedRef import_module(const char* name) { return check(PyImport_ImportModule(name)); }

// binascii.a2b_base64(text, strict_mode=True), or empty when it is not base64.
OwnedRef decode_base64(PyObject* text) {
    OwnedRef binascii = import_module("binascii");
    OwnedRef keywords = check(PyTuple_Pack(1, names.strict_mode));
    PyObject* arguments[] = {binascii.get(), text, Py_True};
    return unless_value_error([&] { return PyObject_VectorcallMethod(names.a2b_base64, arguments, 2, keywords.get()); });
}

}  // namespace

OwnedRef sha256_digest(PyObject* blob) {
    OwnedRef hashlib = import_module("hashlib");
    OwnedRef hash = check(PyObject_CallMethodOneArg(hashlib.get(), names.sha256, blob));
    return call_method(hash.get(), names.digest);
}

// "SHA256:" and the digest in base64 without its padding, as OpenSSH prints it.
OwnedRef fingerprint_text(PyObject* digest) {
    OwnedRef binascii = import_module("binascii");
    OwnedRef keywords = check(PyTuple_Pack(1, names.newline));
    PyObject* arguments[] = {binascii.get(), digest, Py_False};
    OwnedRef encoded = check(PyObject_VectorcallMethod(names.b2a_base64, arguments, 2, keywords.get()));
    std::string_view digits = bytes_view(encoded.get());
    while (!digits.empty() && digits.back() == '=') {
        digits.remove_suffix(1);
    }
    std::string text(kFingerprintPrefix);
    text.append(digits);
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

namespace {

std::optional<HostKeyPin> fingerprint_pin(PyObject* text) {
    const std::string_view given = utf8_view(text);
    if (given.size() != kFingerprintPrefix.size() + kFingerprintDigits || !given.starts_with(kFingerprintPrefix)) {
        return std::nullopt;
    }
    std::string padded(given.substr(kFingerprintPrefix.size()));
    padded.push_back('=');
    OwnedRef padded_text = check(PyUnicode_FromStringAndSize(padded.data(), static_cast<Py_ssize_t>(padded.size())));
    OwnedRef digest = decode_base64(padded_text.get());
    if (!digest || PyBytes_GET_SIZE(digest.get()) != 32) {
        return std::nullopt;
    }
    // Spare bits that are not zero would make a fingerprint no key ever has.
    OwnedRef canonical = fingerprint_text(digest.get());
    if (utf8_view(canonical.get()) != given) {
        return std::nullopt;
    }
    return HostKeyPin{std::move(digest), {}, {}, std::move(canonical)};
}

// A key blob starts with its own key type as an SSH string (a 32-bit
// big-endian length, then the name), which must be the type the line names.
bool blob_has_type(std::string_view blob, std::string_view key_type) {
    if (blob.size() < 4) {
        return false;
    }
    std::uint32_t length = 0;
    for (int index = 0; index < 4; ++index) {
        length = (length << 8) | static_cast<unsigned char>(blob[static_cast<std::size_t>(index)]);
    }
    return length == key_type.size() && blob.substr(4, length) == key_type;
}

std::optional<HostKeyPin> key_line_pin(PyObject* key_type, PyObject* encoded_blob) {
    OwnedRef blob = decode_base64(encoded_blob);
    if (!blob || !blob_has_type(bytes_view(blob.get()), utf8_view(key_type))) {
        return std::nullopt;
    }
    OwnedRef digest = sha256_digest(blob.get());
    OwnedRef fingerprint = fingerprint_text(digest.get());
    return HostKeyPin{std::move(digest), std::move(blob), OwnedRef::take(key_type), std::move(fingerprint)};
}

// "SHA256:…", "type base64 [comment]" or "host type base64 [comment]".
HostKeyPin parse_pin(PyObject* item) {
    if (!PyUnicode_Check(item)) {
        reject(kHostKeyForms, item);
    }
    // A text that is not valid UTF-8 throughout (a lone surrogate) is no key.
    if (OwnedRef encoded = OwnedRef::steal(PyUnicode_AsUTF8String(item)); !encoded) {
        PyErr_Clear();
        reject(kHostKeyForms, item);
    }
    OwnedRef fields = check(PyUnicode_Split(item, nullptr, -1));
    const Py_ssize_t count = PyList_GET_SIZE(fields.get());
    auto field = [&](Py_ssize_t index) { return PyList_GET_ITEM(fields.get(), index); };
    std::optional<HostKeyPin> pin;
    if (count == 1) {
        pin = fingerprint_pin(field(0));
    } else if (count >= 2) {
        pin = key_line_pin(field(0), field(1));
        if (!pin && count >= 3) {
            pin = key_line_pin(field(1), field(2));
        }
    }
    if (!pin) {
        reject(kHostKeyForms, item);
    }
    return std::move(*pin);
}

// None, False and the empty text leave the option unset. Every other value
// must pin at least one key: an empty list (say, filtered from a file that
// came out empty) would otherwise turn the check off without a word.
std::vector<HostKeyPin> parse_host_key(PyObject* value) {
    std::vector<HostKeyPin> pins;
    if (value == Py_None || value == Py_False || (PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value) == 0)) {
        return pins;
    }
    if (!PyList_Check(value) && !PyTuple_Check(value)) {
        pins.push_back(parse_pin(value));
        return pins;
    }
    OwnedRef items = check(PySequence_Tuple(value));
    if (PyTuple_GET_SIZE(items.get()) == 0) {
        reject(kHostKeyForms, value);
    }
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(items.get()); ++index) {
        pins.push_back(parse_pin(PyTuple_GET_ITEM(items.get(), index)));
    }
    return pins;
}

// Seconds as a float. None, an empty text or an empty container leave the
// limit unset; zero and False are mistakes, not "no limit".
OwnedRef parse_timeout(PyObject* value) {
    const bool number = PyLong_Check(value) || PyFloat_Check(value);
    if (!number && !check_status(PyObject_IsTrue(value))) {
        return {};
    }
    if (PyBool_Check(value) || (!number && !PyUnicode_Check(value))) {
        reject(kTimeoutForm, value);
    }
    OwnedRef seconds = OwnedRef::steal(PyUnicode_Check(value) ? PyFloat_FromString(value) : PyNumber_Float(value));
    if (!seconds) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
            throw PyErrorRaised{};
        }
        PyErr_Clear();
        reject(kTimeoutForm, value);
    }
    const double limit = PyFloat_AS_DOUBLE(seconds.get());
    if (!std::isfinite(limit) || limit <= 0) {
        reject(kTimeoutForm, value);
    }
    return seconds;
}

// Of the host key algorithms paramiko offers, those of the pinned key lines
// and of the keys known_hosts lists for the server go first, so that a
// server with several keys shows a listed one. The fingerprints do not say
// their type: for those the order stays.
void prefer_pinned_key_types(PyObject* transport, const ConnectionOptions& options) {
    OwnedRef pinned = check(PySet_New(nullptr));
    auto prefer = [&](PyObject* key_type) {
        check_status(PySet_Add(pinned.get(), key_type));
        if (utf8_view(key_type) == "ssh-rsa") {
            // An RSA key signs under these names as well.
            for (const char* algorithm : {"rsa-sha2-512", "rsa-sha2-256"}) {
                OwnedRef name = check(PyUnicode_FromString(algorithm));
                check_status(PySet_Add(pinned.get(), name.get()));
            }
        }
    };
    for (const HostKeyPin& pin : options.pins) {
        if (pin.key_type) {
            prefer(pin.key_type.get());
        }
    }
    if (options.known_hosts) {
        OwnedRef listed = listed_key_types(options.known_hosts);
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(listed.get()); ++index) {
            prefer(PyList_GET_ITEM(listed.get(), index));
        }
    }
    if (PySet_GET_SIZE(pinned.get()) == 0) {
        return;
    }
    OwnedRef security = call_method(transport, names.get_security_options);
    OwnedRef offered = check(PySequence_Tuple(attribute(security.get(), names.key_types).get()));
    OwnedRef preferred = check(PyList_New(0));
    OwnedRef others = check(PyList_New(0));
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(offered.get()); ++index) {
        PyObject* algorithm = PyTuple_GET_ITEM(offered.get(), index);
        const bool is_pinned = check_status(PySet_Contains(pinned.get(), algorithm)) == 1;
        check_status(PyList_Append(is_pinned ? preferred.get() : others.get(), algorithm));
    }
    if (PyList_GET_SIZE(preferred.get()) == 0) {
        return;
    }
    check_status(PyList_SetSlice(preferred.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, others.get()));
    OwnedRef order = check(PyList_AsTuple(preferred.get()));
    check_status(PyObject_SetAttr(security.get(), names.key_types, order.get()));
}

// Runs `step`; an ordinary exception from it is dropped, anything else
// (Ctrl-C) goes on.
template <typename Step>
void unless_exception(Step&& step) {
    try {
        step();
    } catch (const PyErrorRaised&) {
        drop_ordinary_error();
    }
}

// A log channel that records nothing, for a transport the module is ending.
OwnedRef muted_log_channel() {
    OwnedRef name = check(PyUnicode_FromString("sftp_main.stopped_transport"));
    OwnedRef logging = import_module("logging");
    OwnedRef logger = check(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get()));
    check(PyObject_CallMethod(logger.get(), "setLevel", "i", 51));  // above CRITICAL
    return name;
}

// The transport's thread is still waiting for the server's banner or key
// exchange. Closing the socket under it would make it fail on a dead
// descriptor; the socket is shut down instead, which ends its read at once,
// and the thread is joined. paramiko logs any end of its banner read as an
// error with a traceback, so what it logs about an end that the module
// caused goes to a channel that records nothing.
void stop_unfinished_session(PyObject* transport, PyObject* timeout) {
    unless_exception([&] {
        OwnedRef channel = muted_log_channel();
        check(PyObject_CallMethod(transport, "set_log_channel", "O", channel.get()));
    });
    unless_exception([&] {
        OwnedRef sock = check(PyObject_GetAttrString(transport, "sock"));
        OwnedRef socket_module = import_module("socket");
        OwnedRef both_ways = check(PyObject_GetAttrString(socket_module.get(), "SHUT_RDWR"));
        check(PyObject_CallMethod(sock.get(), "shutdown", "O", both_ways.get()));
    });
    unless_exception([&] { check(PyObject_CallMethod(transport, "join", "O", timeout)); });
    // The key exchange's own timer would otherwise keep a thread (one that
    // holds up the interpreter's exit) until paramiko's limit.
    unless_exception([&] {
        OwnedRef packetizer = check(PyObject_GetAttrString(transport, "packetizer"));
        check(PyObject_CallMethod(packetizer.get(), "complete_handshake", nullptr));
    });
}

// start_client(timeout=…) returns quietly when its time is up; the session
// is of no use then.
void require_finished_key_exchange(PyObject* transport, PyObject* timeout) {
    PyObject* found = nullptr;
    if (check_status(PyObject_GetOptionalAttr(transport, names.initial_kex_done, &found)) == 0) {
        return;
    }
    OwnedRef done = OwnedRef::steal(found);
    if (!check_status(PyObject_IsTrue(done.get()))) {
        stop_unfinished_session(transport, timeout);
        PyErr_Format(PyExc_TimeoutError, "the SSH key exchange did not finish within the timeout of %S s", timeout);
        throw PyErrorRaised{};
    }
}

// "host:port" of the peer, "[host]:port" for an IPv6 address.
OwnedRef peer_text(PyObject* transport) {
    OwnedRef peer = call_method(transport, names.getpeername);
    if (!PyTuple_Check(peer.get()) || PyTuple_GET_SIZE(peer.get()) < 2) {
        return check(PyObject_Str(peer.get()));
    }
    OwnedRef host = check(PyObject_Str(PyTuple_GET_ITEM(peer.get(), 0)));
    PyObject* port = PyTuple_GET_ITEM(peer.get(), 1);
    const bool bracketed = utf8_view(host.get()).find(':') != std::string_view::npos;
    return check(PyUnicode_FromFormat(bracketed ? "[%U]:%S" : "%U:%S", host.get(), port));
}

// paramiko's BadHostKeyException prints both keys in base64; a subclass
// prints the fingerprints instead, and still carries the hostname and the
// server's key as paramiko's does. It is made once for the class paramiko
// names, and kept for the life of the process, as the module is.
PyObject* mismatch_class_for(PyObject* base) {
    static PyObject* made_for = nullptr;
    static PyObject* made = nullptr;
    if (base != made_for) {
        OwnedRef bases = check(PyTuple_Pack(1, base));
        OwnedRef body = check(PyDict_New());
        OwnedRef plain_str = check(PyObject_GetAttrString(PyExc_BaseException, "__str__"));
        check_status(PyDict_SetItemString(body.get(), "__str__", plain_str.get()));
        OwnedRef module_name = check(PyUnicode_FromString("sftp_main"));
        check_status(PyDict_SetItemString(body.get(), "__module__", module_name.get()));
        OwnedRef fresh = check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                                     "HostKeyMismatch", bases.get(), body.get()));
        OwnedRef previous = OwnedRef::steal(made);
        OwnedRef previous_base = OwnedRef::steal(made_for);
        made = fresh.release();
        made_for = Py_NewRef(base);
    }
    return made;
}

[[noreturn]] void raise_mismatch(PyObject* module_globals, PyObject* transport, PyObject* server_key,
                                 PyObject* server_digest, const std::vector<HostKeyPin>& pins) {
    OwnedRef peer = peer_text(transport);
    OwnedRef received = fingerprint_text(server_digest);
    OwnedRef key_name = call_method(server_key, names.get_name);
    OwnedRef expected_list = check(PyList_New(0));
    for (const HostKeyPin& pin : pins) {
        check_status(PyList_Append(expected_list.get(), pin.fingerprint.get()));
    }
    OwnedRef separator = check(PyUnicode_FromString(", "));
    OwnedRef expected = check(PyUnicode_Join(separator.get(), expected_list.get()));
    OwnedRef message = check(PyUnicode_FromFormat(
        "Host key for server %U does not match host_key: got %U (%S), expected %s%U; no credentials were sent",
        peer.get(), received.get(), key_name.get(), pins.size() > 1 ? "one of " : "", expected.get()));

    raise_host_key_mismatch(module_globals, peer.get(), server_key, message.get());
}

// With both "host_key" and "known_hosts", a key that either lists is
// accepted; a key known_hosts marks @revoked never is.
void verify_host_key(PyObject* module_globals, PyObject* transport, const ConnectionOptions& options) {
    const std::vector<HostKeyPin>& pins = options.pins;
    OwnedRef server_key = call_method(transport, names.get_remote_server_key);
    OwnedRef blob = call_method(server_key.get(), names.asbytes);
    OwnedRef digest = sha256_digest(blob.get());
    if (options.known_hosts) {
        refuse_revoked_key(module_globals, server_key.get(), digest.get(), options.known_hosts);
    }
    for (const HostKeyPin& pin : pins) {
        PyObject* mine = pin.blob ? pin.blob.get() : pin.digest.get();
        PyObject* theirs = pin.blob ? blob.get() : digest.get();
        if (check_status(PyObject_RichCompareBool(mine, theirs, Py_EQ)) == 1) {
            return;
        }
    }
    if (options.known_hosts) {
        OwnedRef pinned = check(PyList_New(0));
        for (const HostKeyPin& pin : pins) {
            check_status(PyList_Append(pinned.get(), pin.fingerprint.get()));
        }
        check_known_host(module_globals, server_key.get(), blob.get(), digest.get(), options.known_hosts, pinned.get());
        return;
    }
    raise_mismatch(module_globals, transport, server_key.get(), digest.get(), pins);
}

}  // namespace

[[noreturn]] void raise_host_key_mismatch(PyObject* module_globals, PyObject* hostname, PyObject* server_key,
                                          PyObject* message) {
    OwnedRef base = paramiko_attribute(module_globals, names.BadHostKeyException);
    PyObject* mismatch_class = mismatch_class_for(base.get());
    OwnedRef error = check(PyObject_CallFunctionObjArgs(mismatch_class, hostname, server_key, Py_None, nullptr));
    OwnedRef args = check(PyTuple_Pack(1, message));
    check_status(PyObject_SetAttr(error.get(), names.args, args.get()));
    PyErr_SetRaisedException(error.release());
    throw PyErrorRaised{};
}

ConnectionOptions read_connection_options(PyObject* module_globals, PyObject* configuration_owner) {
    ConnectionOptions options;
    if (OwnedRef host_key = optional_setting(configuration_owner, names.host_key)) {
        options.pins = parse_host_key(host_key.get());
    }
    if (OwnedRef timeout = optional_setting(configuration_owner, names.timeout)) {
        options.timeout = parse_timeout(timeout.get());
    }
    options.key_login = read_key_login(module_globals, configuration_owner);
    options.known_hosts = read_known_hosts(module_globals, configuration_owner);
    return options;
}

OwnedRef host_key_identity(PyObject* value) {
    const std::vector<HostKeyPin> pins = parse_host_key(value);
    if (pins.empty()) {
        return {};
    }
    OwnedRef fingerprints = check(PyFrozenSet_New(nullptr));
    for (const HostKeyPin& pin : pins) {
        check_status(PySet_Add(fingerprints.get(), pin.fingerprint.get()));
    }
    return fingerprints;
}

OwnedRef timeout_seconds(PyObject* value) { return parse_timeout(value); }

OwnedRef open_bounded_socket(PyObject* host_text, PyObject* port_text, const ConnectionOptions& options) {
    OwnedRef port_number = check(PyNumber_Long(port_text));
    OwnedRef address = check(PyTuple_Pack(2, host_text, port_number.get()));
    OwnedRef socket_module = import_module("socket");
    OwnedRef keywords = check(PyTuple_Pack(1, names.timeout));
    PyObject* arguments[] = {socket_module.get(), address.get(), options.timeout.get()};
    return check(PyObject_VectorcallMethod(names.create_connection, arguments, 2, keywords.get()));
}

void start_verified_session(PyObject* module_globals, PyObject* transport, const ConnectionOptions& options) {
    if (options.timeout) {
        // The module's own deadline ends a silent start, always with its
        // TimeoutError: paramiko's limits on the banner and the key exchange,
        // which would race it with errors of their own, are set well past it,
        // but by no more than an hour: paramiko waits out the key exchange's
        // limit on a timer, and doubling a limit of centuries would put that
        // wait's end past what the clock can hold.
        const double seconds = PyFloat_AS_DOUBLE(options.timeout.get());
        OwnedRef backstop = check(PyFloat_FromDouble(seconds + std::clamp(seconds, 5.0, 3600.0)));
        for (PyObject* limit : {names.banner_timeout, names.handshake_timeout}) {
            check_status(PyObject_SetAttr(transport, limit, backstop.get()));
        }
        for (PyObject* limit : {names.auth_timeout, names.channel_timeout}) {
            check_status(PyObject_SetAttr(transport, limit, options.timeout.get()));
        }
    }
    prefer_pinned_key_types(transport, options);
    if (options.timeout) {
        OwnedRef keywords = check(PyTuple_Pack(1, names.timeout));
        PyObject* arguments[] = {transport, options.timeout.get()};
        try {
            check(PyObject_VectorcallMethod(names.start_client, arguments, 1, keywords.get()));
        } catch (const PyErrorRaised&) {
            // An Exception from start_client means paramiko's thread has
            // already ended. Anything else (Ctrl-C) left it reading: it is
            // stopped as at the time limit, before _connect closes it.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                PendingError interrupted;
                stop_unfinished_session(transport, options.timeout.get());
                interrupted.restore();
            }
            throw;
        }
        require_finished_key_exchange(transport, options.timeout.get());
    } else {
        call_method(transport, names.start_client);
    }
    if (!options.pins.empty() || options.known_hosts) {
        verify_host_key(module_globals, transport, options);
    }
}

OwnedRef open_bounded_sftp(PyObject* sftp_client_class, PyObject* transport, const ConnectionOptions& options) {
    OwnedRef channel = call_method(transport, names.open_session);
    check(PyObject_CallMethodOneArg(channel.get(), names.settimeout, options.timeout.get()));
    OwnedRef subsystem = check(PyUnicode_FromString("sftp"));
    check(PyObject_CallMethodOneArg(channel.get(), names.invoke_subsystem, subsystem.get()));
    return check(PyObject_CallOneArg(sftp_client_class, channel.get()));
}

}  // namespace sftp
