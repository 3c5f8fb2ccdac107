#include "sftp_main/policies/known_hosts.hpp"

#include "sftp_main/address.hpp"
#include "sftp_main/calls.hpp"
#include "sftp_main/options/options.hpp"
#include "sftp_main/policies/host_key_mismatch.hpp"
#include "sftp_main/globals.hpp"
#include "sftp_main/names.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace sftp {

namespace {

constexpr std::string_view kRevokedMarker = "@revoked";

[[noreturn]] void refuse_file(PyObject* path, const PendingError& cause) {
    OwnedRef message = check(PyUnicode_FromFormat("known_hosts %R cannot be read as a known_hosts file", path));
    raise_from(PyExc_ValueError, message.get(), cause);
}

// The whole file, read once, closed on every path.
OwnedRef file_bytes(PyObject* path) {
    OwnedRef io = check(PyImport_ImportModule("io"));
    OwnedRef mode = check(PyUnicode_FromString("rb"));
    OwnedRef file = check(PyObject_CallMethodObjArgs(io.get(), names.open, path, mode.get(), nullptr));
    OwnedRef data = OwnedRef::steal(PyObject_CallMethodNoArgs(file.get(), names.read));
    PendingError failed;
    if (!OwnedRef::steal(PyObject_CallMethodNoArgs(file.get(), names.close)) && !data) {
        PyErr_Clear();
    }
    if (!data) {
        failed.restore();
        throw PyErrorRaised{};
    }
    if (PyErr_Occurred()) {
        throw PyErrorRaised{};
    }
    return data;
}

struct FileKeys {
    OwnedRef host_keys;  // list of paramiko.HostKeys, one per host line
    OwnedRef revoked;    // set of key blobs
};

// The line's fields, one space apart: paramiko's HostKeyEntry splits at
// each single space or tab, OpenSSH at any run of blanks.
std::vector<std::string_view> fields_of(std::string_view line) {
    auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && is_blank(line[at])) {
            ++at;
        }
        const std::size_t start = at;
        while (at < line.size() && !is_blank(line[at])) {
            ++at;
        }
        if (at > start) {
            fields.push_back(line.substr(start, at - start));
        }
    }
    return fields;
}

// The file, read once. Every host line is parsed by paramiko's own
// HostKeyEntry and kept in a paramiko HostKeys of its own, which matches
// plain and hashed names as HostKeys.load would; a line it cannot read is
// passed over, as load does. One HostKeys for the whole file would keep
// only one key of each type for a name, and a host listed twice (a rotated
// key, a plain and a hashed line) would be refused its other key. The
// marker lines, which HostKeys cannot read at all, are sorted out first:
// the keys of "@revoked" lines are gathered apart, "@cert-authority" lines
// are passed over (paramiko checks no host certificates).
FileKeys read_file_keys(PyObject* module_globals, PyObject* path) {
    OwnedRef data = file_bytes(path);
    OwnedRef host_keys_class = paramiko_attribute(module_globals, names.HostKeys);
    OwnedRef hostkeys = paramiko_attribute(module_globals, names.hostkeys);
    OwnedRef entry_class = attribute(hostkeys.get(), names.HostKeyEntry);
    OwnedRef invalid_line = attribute(hostkeys.get(), names.InvalidHostKey);
    OwnedRef ssh_exception = paramiko_attribute(module_globals, names.SSHException);
    FileKeys keys{check(PyList_New(0)), check(PySet_New(nullptr))};

    const std::string_view text(PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::vector<std::string_view> fields = fields_of(text.substr(start, end - start));
        start = end + 1;
        if (fields.empty() || fields.front().starts_with('#')) {
            continue;
        }
        const bool revoked = fields.front() == kRevokedMarker;
        if (fields.front().starts_with('@')) {
            if (!revoked) {
                continue;
            }
            fields.erase(fields.begin());
        }
        std::string line;
        for (std::string_view field : fields) {
            line.append(line.empty() ? "" : " ").append(field);
        }
        OwnedRef entry_line = check(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace"));
        OwnedRef entry = OwnedRef::steal(PyObject_CallMethodOneArg(entry_class.get(), names.from_line, entry_line.get()));
        if (!entry) {
            if (!PyErr_ExceptionMatches(ssh_exception.get()) && !PyErr_ExceptionMatches(invalid_line.get())) {
                throw PyErrorRaised{};
            }
            PyErr_Clear();
            continue;
        }
        if (entry.get() == Py_None) {
            continue;  // a key type paramiko does not know
        }
        OwnedRef key = attribute(entry.get(), names.key);
        if (revoked) {
            check_status(PySet_Add(keys.revoked.get(), call_method(key.get(), names.asbytes).get()));
            continue;
        }
        OwnedRef key_type = call_method(key.get(), names.get_name);
        OwnedRef line_keys = check(PyObject_CallNoArgs(host_keys_class.get()));
        OwnedRef host_names = check(PySequence_Tuple(attribute(entry.get(), names.hostnames).get()));
        for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(host_names.get()); ++index) {
            check(PyObject_CallMethodObjArgs(line_keys.get(), names.add, PyTuple_GET_ITEM(host_names.get(), index),
                                             key_type.get(), key.get(), nullptr));
        }
        check_status(PyList_Append(keys.host_keys.get(), line_keys.get()));
    }
    return keys;
}

// "host" on port 22, "[host]:port" on any other, as OpenSSH lists them.
OwnedRef listed_form(PyObject* host_value, PyObject* port_value) {
    OwnedRef host = text_form(host_value);
    OwnedRef port_text = text_form(port_value);
    OwnedRef port = OwnedRef::steal(PyNumber_Long(port_text.get()));
    if (!port) {
        drop_error_of(PyExc_ValueError);
        port = port_text;
    } else {
        OwnedRef default_port = check(PyLong_FromLong(22));
        if (check_status(PyObject_RichCompareBool(port.get(), default_port.get(), Py_EQ)) == 1) {
            return host;
        }
    }
    return address_text(host.get(), port.get(), Brackets::Always);
}

OwnedRef listed_name(PyObject* configuration_owner) {
    if (OwnedRef alias = optional_setting(configuration_owner, names.known_hosts_name)) {
        if (OwnedRef listed = parse::text(alias.get(), "known_hosts_name")) {
            return listed;
        }
    }
    auto configured = [&](PyObject* name) { return attribute(attribute(configuration_owner, names._config).get(), name); };
    return listed_form(configured(names.host).get(), configured(names.port).get());
}

// The host and port that a name of listed_name stands for.
std::pair<OwnedRef, OwnedRef> host_and_port(PyObject* name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    OwnedRef separator = check(PyUnicode_FromString("]:"));
    const Py_ssize_t at = PyUnicode_Find(name, separator.get(), 0, length, -1);
    if (at == -2) {
        throw PyErrorRaised{};
    }
    if (length > 0 && PyUnicode_READ_CHAR(name, 0) == '[' && at > 0) {
        return {check(PyUnicode_Substring(name, 1, at)), check(PyUnicode_Substring(name, at + 2, length))};
    }
    return {OwnedRef::take(name), check(PyUnicode_FromString("22"))};
}

OwnedRef shell_quoted(PyObject* text) {
    OwnedRef shlex = check(PyImport_ImportModule("shlex"));
    return check(PyObject_CallMethodOneArg(shlex.get(), names.quote, text));
}

// Every key the file lists for the server, in the file's order (a list).
OwnedRef listed_keys(const KnownHosts& known) {
    OwnedRef keys = check(PyList_New(0));
    for (Py_ssize_t line = 0; line < PyList_GET_SIZE(known.host_keys.get()); ++line) {
        OwnedRef listed = check(
            PyObject_CallMethodOneArg(PyList_GET_ITEM(known.host_keys.get(), line), names.lookup, known.name.get()));
        if (listed.get() == Py_None) {
            continue;
        }
        OwnedRef types = check(PySequence_List(call_method(listed.get(), names.keys).get()));
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(types.get()); ++index) {
            OwnedRef key = check(PyObject_GetItem(listed.get(), PyList_GET_ITEM(types.get(), index)));
            check_status(PyList_Append(keys.get(), key.get()));
        }
    }
    return keys;
}

// "SHA256:… (type)" of a paramiko key.
OwnedRef described_key(PyObject* key) {
    OwnedRef blob = call_method(key, names.asbytes);
    OwnedRef fingerprint = fingerprint_text(sha256_digest(blob.get()).get());
    OwnedRef type = call_method(key, names.get_name);
    return check(PyUnicode_FromFormat("%U (%S)", fingerprint.get(), type.get()));
}

[[noreturn]] void refuse_unlisted_host(PyObject* module_globals, PyObject* server_key, const KnownHosts& known) {
    auto [host, port] = host_and_port(known.name.get());
    OwnedRef quoted_host = shell_quoted(host.get());
    OwnedRef quoted_port = shell_quoted(port.get());
    OwnedRef quoted_file = shell_quoted(known.path.get());
    OwnedRef shown = described_key(server_key);
    OwnedRef message = check(PyUnicode_FromFormat(
        "Server %U is not listed in known_hosts %R, so its key %U cannot be checked%s. "
        "To add it, compare the fingerprints from `ssh-keyscan -p %U %U | ssh-keygen -lf -` with ones from a source "
        "you trust (the server's administrator), then run: ssh-keyscan -p %U %U >> %U",
        known.name.get(), known.path.get(), shown.get(), kNoCredentialsSent, quoted_port.get(), quoted_host.get(), quoted_port.get(),
        quoted_host.get(), quoted_file.get()));
    OwnedRef error_class = paramiko_attribute(module_globals, names.SSHException);
    PyErr_SetObject(error_class.get(), message.get());
    throw PyErrorRaised{};
}

OwnedRef text_of(const char* text) { return check(PyUnicode_FromString(text)); }

}  // namespace

void read_known_hosts(Options& options, std::span<const OwnedRef> values, const ReadContext& context) {
    if (!values[0]) {
        return;
    }
    OwnedRef path = parse::path(values[0].get(), "known_hosts");
    if (!path) {
        return;
    }
    FileKeys keys;
    try {
        keys = read_file_keys(context.module_globals, path.get());
    } catch (const PyErrorRaised&) {
        PendingError cause = take_ordinary_error();
        refuse_file(path.get(), cause);
    }
    KnownHosts& known = options.known_hosts;
    known.name = listed_name(context.configuration_owner);
    known.path = std::move(path);
    known.host_keys = std::move(keys.host_keys);
    known.revoked = std::move(keys.revoked);
}

OwnedRef listed_key_types(const KnownHosts& known) {
    OwnedRef keys = listed_keys(known);
    OwnedRef types = check(PyList_New(0));
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(keys.get()); ++index) {
        check_status(PyList_Append(types.get(), call_method(PyList_GET_ITEM(keys.get(), index), names.get_name).get()));
    }
    return types;
}

void refuse_revoked_key(PyObject* module_globals, PyObject* server_key, PyObject* digest, const KnownHosts& known) {
    OwnedRef blob = call_method(server_key, names.asbytes);
    if (check_status(PySet_Contains(known.revoked.get(), blob.get())) == 0) {
        return;
    }
    OwnedRef received = fingerprint_text(digest);
    OwnedRef type = call_method(server_key, names.get_name);
    OwnedRef message = check(PyUnicode_FromFormat(
        "Host key for server %U is marked @revoked in known_hosts %R: got %U (%S)%s",
        known.name.get(), known.path.get(), received.get(), type.get(), kNoCredentialsSent));
    raise_host_key_mismatch(module_globals, known.name.get(), server_key, message.get());
}

void check_known_host(PyObject* module_globals, PyObject* server_key, PyObject* blob, PyObject* digest,
                      const KnownHosts& known, PyObject* pin_fingerprints) {
    OwnedRef keys = listed_keys(known);
    OwnedRef expected = check(PySequence_List(pin_fingerprints));
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(keys.get()); ++index) {
        PyObject* listed = PyList_GET_ITEM(keys.get(), index);
        OwnedRef listed_blob = call_method(listed, names.asbytes);
        if (check_status(PyObject_RichCompareBool(listed_blob.get(), blob, Py_EQ)) == 1) {
            return;
        }
        OwnedRef described = described_key(listed);
        if (check_status(PySequence_Contains(expected.get(), described.get())) == 0) {
            check_status(PyList_Append(expected.get(), described.get()));
        }
    }
    if (PyList_GET_SIZE(keys.get()) == 0 && PyList_GET_SIZE(expected.get()) == 0) {
        refuse_unlisted_host(module_globals, server_key, known);
    }
    OwnedRef received = fingerprint_text(digest);
    OwnedRef type = call_method(server_key, names.get_name);
    OwnedRef separator = text_of(", ");
    OwnedRef expected_text = check(PyUnicode_Join(separator.get(), expected.get()));
    const bool pinned = PySequence_Size(pin_fingerprints) > 0;
    OwnedRef message = check(PyUnicode_FromFormat(
        "Host key for server %U does not match %sknown_hosts %R: got %U (%S), expected %s%U%s",
        known.name.get(), pinned ? "host_key or " : "", known.path.get(), received.get(), type.get(),
        PyList_GET_SIZE(expected.get()) > 1 ? "one of " : "", expected_text.get(), kNoCredentialsSent));
    raise_host_key_mismatch(module_globals, known.name.get(), server_key, message.get());
}

void require_target_listing(PyObject* settings, PyObject* cleansed, PyObject* replacement) {
    OwnedRef asked = setting_in(settings, names.known_hosts);
    if (!asked || !is_true(asked.get())) {
        return;
    }
    auto read = [](PyObject* configuration, PyObject* name) {
        PyObject* value = nullptr;
        check_status(PyObject_GetOptionalAttr(configuration, name, &value));
        return value != nullptr ? OwnedRef::steal(value) : none();
    };
    // The name comes from the step, but the target it must stand for is
    // known here: the caller's own "known_hosts_name", else the cleansed
    // host and port. Any other name would check the target as another host.
    if (OwnedRef given = read(replacement, names.known_hosts_name); is_true(given.get())) {
        OwnedRef own = setting_in(settings, names.known_hosts_name);
        OwnedRef expected = own && is_true(own.get())
                                ? text_form(own.get())
                                : listed_form(read(cleansed, names.host).get(), read(cleansed, names.port).get());
        OwnedRef named = text_form(given.get());
        if (check_status(PyObject_RichCompareBool(named.get(), expected.get(), Py_EQ)) != 1) {
            PyErr_Format(PyExc_ValueError,
                         "known_hosts is set, but the configuration that the \"ssh\" step (TavrelSSH(...).connect()) "
                         "returned names the target known_hosts_name %R, not %R; refusing to check the target's key "
                         "under another name",
                         named.get(), expected.get());
            throw PyErrorRaised{};
        }
        return;
    }
    for (PyObject* name : {names.host, names.port}) {
        OwnedRef before = text_form(read(cleansed, name).get());
        OwnedRef after = text_form(read(replacement, name).get());
        if (check_status(PyObject_RichCompareBool(before.get(), after.get(), Py_EQ)) != 1) {
            PyErr_SetString(PyExc_ValueError,
                            "known_hosts is set, but the configuration that the \"ssh\" step (TavrelSSH(...).connect()) "
                            "returned points elsewhere and lacks known_hosts_name, the name the target is listed under; "
                            "refusing to connect without checking the target's key");
            throw PyErrorRaised{};
        }
    }
}

}  // namespace sftp
