#include "sftp_main/options/value_parsers.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/names.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sftp {

namespace {

constexpr const char* kHostKeyForms =
    "host_key must be an OpenSSH SHA256 fingerprint (\"SHA256:\" and base64 without padding, as "
    "ssh-keygen -lf prints it), a public key line (\"ssh-ed25519 AAAA... comment\", as in a .pub file, "
    "or after the host name as ssh-keyscan prints it), or a non-empty list or tuple of these";

constexpr const char* kSecondsForm = "must be a positive number of seconds: an int or a float, or the text of one";

constexpr std::string_view kFingerprintPrefix = "SHA256:";
// 32 bytes of SHA-256 in base64, the one padding character dropped.
constexpr std::size_t kFingerprintDigits = 43;

[[noreturn]] void reject(const char* forms, PyObject* value) {
    PyErr_Format(PyExc_ValueError, "%s; got %.200R", forms, value);
    throw PyErrorRaised{};
}

[[noreturn]] void reject_seconds(const char* option, PyObject* value) {
    PyErr_Format(PyExc_ValueError, "%s %s; got %.200R", option, kSecondsForm, value);
    throw PyErrorRaised{};
}

}  // namespace

[[noreturn]] void raise_from(PyObject* type, PyObject* message, const PendingError& cause) {
    PyErr_SetObject(type, message);
    PendingError raised;
    if (cause.get() != nullptr) {
        PyException_SetContext(raised.get(), Py_NewRef(cause.get()));
        PyException_SetCause(raised.get(), Py_NewRef(cause.get()));
    }
    raised.restore();
    throw PyErrorRaised{};
}

[[noreturn]] void raise_from(PyObject* type, const char* message, const PendingError& cause) {
    OwnedRef text = check(PyUnicode_FromString(message));
    raise_from(type, text.get(), cause);
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

// Every value but None, False and the empty text must pin at least one key: an empty list (say, filtered from a file that
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

OwnedRef parse_seconds(PyObject* value, const char* option) {
    const bool number = PyLong_Check(value) || PyFloat_Check(value);
    if (!number && !check_status(PyObject_IsTrue(value))) {
        return {};
    }
    if (PyBool_Check(value) || (!number && !PyUnicode_Check(value))) {
        reject_seconds(option, value);
    }
    OwnedRef seconds = OwnedRef::steal(PyUnicode_Check(value) ? PyFloat_FromString(value) : PyNumber_Float(value));
    if (!seconds) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
            throw PyErrorRaised{};
        }
        PyErr_Clear();
        reject_seconds(option, value);
    }
    const double limit = PyFloat_AS_DOUBLE(seconds.get());
    if (!std::isfinite(limit) || limit <= 0) {
        reject_seconds(option, value);
    }
    return seconds;
}

}  // namespace

namespace parse {

OwnedRef path(PyObject* value, const char* option) {
    if (!is_true(value)) {
        return {};
    }
    OwnedRef given = OwnedRef::steal(PyOS_FSPath(value));
    if (!given) {
        PendingError cause = take_ordinary_error();
        OwnedRef message = check(PyUnicode_FromFormat("%s must be a file path (str, bytes or os.PathLike), not %.100s",
                                                      option, Py_TYPE(value)->tp_name));
        raise_from(PyExc_ValueError, message.get(), cause);
    }
    if (PyBytes_Check(given.get())) {
        return check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(given.get()), PyBytes_GET_SIZE(given.get())));
    }
    return given;
}

OwnedRef seconds(PyObject* value, const char* option) {
    OwnedRef limit = parse_seconds(value, option);
    if (!limit) {
        return limit;
    }
    OwnedRef threading = import_module("threading");
    OwnedRef most = check(PyObject_GetAttrString(threading.get(), "TIMEOUT_MAX"));
    if (check_status(PyObject_RichCompareBool(limit.get(), most.get(), Py_GT)) == 1) {
        PyErr_Format(PyExc_ValueError, "%s must be at most threading.TIMEOUT_MAX (%R s), the longest wait the platform takes; got %.200R",
                     option, most.get(), value);
        throw PyErrorRaised{};
    }
    return limit;
}

namespace {

// An int, or the decimal text of one of up to 12 digits; empty for anything else.
OwnedRef whole_number(PyObject* value) {
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        return OwnedRef::take(value);
    }
    if (PyUnicode_Check(value)) {
        OwnedRef stripped = check(PyObject_CallMethod(value, "strip", nullptr));
        const std::string_view digits = utf8_view(stripped.get());
        if (!digits.empty() && digits.size() <= 12 &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return check(PyLong_FromString(std::string(digits).c_str(), nullptr, 10));
        }
    }
    return {};
}

// The number within [low, high], or nothing.
std::optional<long long> within(const OwnedRef& number, long long low, long long high) {
    if (!number) {
        return std::nullopt;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        throw PyErrorRaised{};
    }
    if (overflow != 0 || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

bool leaves_unset(PyObject* value) {
    return value == Py_None || (PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value) == 0);
}

}  // namespace

OwnedRef byte_count(PyObject* value, const char* option) {
    if (leaves_unset(value)) {
        return {};
    }
    const std::optional<long long> count = within(whole_number(value), kMinByteCount, kMaxByteCount);
    if (!count) {
        PyErr_Format(PyExc_ValueError,
                     "%s must be a whole number of bytes from %lld (1 KiB) to %lld (16 MiB), an int or the text of "
                     "one; got %.200R",
                     option, kMinByteCount, kMaxByteCount, value);
        throw PyErrorRaised{};
    }
    return check(PyLong_FromLongLong(*count));
}

OwnedRef count(PyObject* value, const char* option) {
    if (leaves_unset(value)) {
        return {};
    }
    const std::optional<long long> counted = within(whole_number(value), 0, kMaxCount);
    if (!counted) {
        PyErr_Format(PyExc_ValueError, "%s must be a whole number from 0 to %lld, an int or the text of one; got %.200R",
                     option, kMaxCount, value);
        throw PyErrorRaised{};
    }
    if (*counted == 0) {
        return {};
    }
    return check(PyLong_FromLongLong(*counted));
}

OwnedRef flag(PyObject* value, const char* /*option*/) { return is_true(value) ? OwnedRef::take(Py_True) : OwnedRef(); }

OwnedRef callable(PyObject* value, const char* option) {
    if (!is_true(value)) {
        return {};
    }
    if (!PyCallable_Check(value)) {
        PyErr_Format(PyExc_ValueError, "%s must be a callable taking (bytes_done, bytes_total); got %.200R", option, value);
        throw PyErrorRaised{};
    }
    return OwnedRef::take(value);
}

OwnedRef secret(PyObject* value, const char* option) {
    if (value == nullptr || !is_true(value)) {
        return none();
    }
    if (PyBytes_Check(value)) {
        return OwnedRef::take(value);
    }
    if (PyUnicode_Check(value)) {
        OwnedRef encoded = OwnedRef::steal(PyUnicode_AsUTF8String(value));
        if (!encoded) {
            PendingError cause = take_ordinary_error();
            OwnedRef message = check(PyUnicode_FromFormat("%s is not valid text: it cannot be encoded as UTF-8", option));
            raise_from(PyExc_ValueError, message.get(), cause);
        }
        return encoded;
    }
    OwnedRef message = check(PyUnicode_FromFormat("%s must be text or bytes, not %.100s", option, Py_TYPE(value)->tp_name));
    const PendingError no_cause;
    raise_from(PyExc_ValueError, message.get(), no_cause);
}

OwnedRef text(PyObject* value, const char* /*option*/) {
    return value != nullptr && is_true(value) ? text_form(value) : OwnedRef();
}

std::vector<HostKeyPin> pins(PyObject* value) { return parse_host_key(value); }

OwnedRef checked(ValueType type, PyObject* value, const char* option) {
    switch (type) {
        case ValueType::PinList: {
            const std::vector<HostKeyPin> given = pins(value);
            if (given.empty()) {
                return {};
            }
            OwnedRef fingerprints = check(PyFrozenSet_New(nullptr));
            for (const HostKeyPin& pin : given) {
                check_status(PySet_Add(fingerprints.get(), pin.fingerprint.get()));
            }
            return fingerprints;
        }
        case ValueType::Seconds:
            return seconds(value, option);
        case ValueType::Path:
            return path(value, option);
        case ValueType::Flag:
            return flag(value, option);
        case ValueType::Callable:
            return callable(value, option);
        case ValueType::Secret:
            return secret(value, option);
        case ValueType::ByteCount:
            return byte_count(value, option);
        case ValueType::Count:
            return count(value, option);
        case ValueType::Text:
        case ValueType::Port:
            return text(value, option);
    }
    return {};
}

}  // namespace parse

}  // namespace sftp
