#include "sftp_main/extensions/failure_notes.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/extensions/client_registry.hpp"
#include "sftp_main/extensions/transfer_options.hpp"
#include "sftp_main/names.hpp"

#include <cctype>
#include <string>
#include <string_view>

namespace sftp::notes {

namespace {

constexpr const char* kNotePrefix = "sftp_main: ";
constexpr Py_ssize_t kMaxShownLength = 100;
constexpr const char* kMask = "'***'";
constexpr std::string_view kSecretMarkers[] = {"pass", "pwd", "secret", "token", "key", "credential", "rsa", "private"};

thread_local int quiet_depth = 0;

bool has_our_note(PyObject* exception) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(exception, names.__notes__, &found) <= 0) {
        PyErr_Clear();
        return false;
    }
    OwnedRef existing = OwnedRef::steal(found);
    if (!PyList_Check(existing.get())) {
        return false;
    }
    OwnedRef prefix = check(PyUnicode_FromString(kNotePrefix));
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(existing.get()); ++index) {
        PyObject* note = PyList_GET_ITEM(existing.get(), index);
        if (PyUnicode_Check(note)) {
            const Py_ssize_t starts = PyUnicode_Tailmatch(note, prefix.get(), 0, PY_SSIZE_T_MAX, -1);
            if (starts == 1) {
                return true;
            }
            if (starts < 0) {
                PyErr_Clear();
            }
        }
    }
    return false;
}

// repr(value), cut to a readable length.
OwnedRef shortened(OwnedRef text) {
    if (PyUnicode_GET_LENGTH(text.get()) <= kMaxShownLength) {
        return text;
    }
    OwnedRef head = check(PyUnicode_Substring(text.get(), 0, kMaxShownLength - 3));
    return check(PyUnicode_FromFormat("%U...", head.get()));
}

OwnedRef shown_value(PyObject* value) {
    OwnedRef text = OwnedRef::steal(PyObject_Repr(value));
    if (!text) {
        drop_ordinary_error();
        return check(PyUnicode_FromFormat("<%s object>", Py_TYPE(value)->tp_name));
    }
    return shortened(std::move(text));
}

OwnedRef shown_argument(PyObject* parameter, PyObject* value) {
    if (PyUnicode_CompareWithASCIIString(parameter, "config") == 0) {
        return shortened(masked_repr(value));
    }
    return shown_value(value);
}

// A text or an integer, as the configuration gives it; nothing else is
// shown, so that no code of the caller's runs for a note.
OwnedRef plain_text(PyObject* value) {
    if (value != nullptr && (PyUnicode_CheckExact(value) || PyLong_CheckExact(value))) {
        return check(PyObject_Str(value));
    }
    return OwnedRef();
}

// The server a configuration mapping names under these names ("host",
// "port", "user", or the jump host's), read only from an exact dict.
OwnedRef server_in_mapping(PyObject* mapping, PyObject* host_name = names.host, PyObject* port_name = names.port,
                           PyObject* user_name = names.user) {
    if (!PyDict_CheckExact(mapping)) {
        return OwnedRef();
    }
    auto item = [&](PyObject* name) {
        PyObject* found = nullptr;
        check_status(PyDict_GetItemRef(mapping, name, &found));
        return OwnedRef::steal(found);
    };
    OwnedRef host = plain_text(item(host_name).get());
    // A false port is completed to the default, as the cleansing does.
    OwnedRef port_value = item(port_name);
    OwnedRef port = plain_text(port_value.get());
    if (!port_value || port_value.get() == Py_None || (port && PyObject_IsTrue(port_value.get()) == 0)) {
        port = check(PyUnicode_FromString("22"));
    } else if (!port) {
        port = check(PyUnicode_FromString("?"));
    }
    OwnedRef user = plain_text(item(user_name).get());
    return server_label(user.get(), host.get(), port.get());
}

// The instance's SFTP client, read from its own attributes without
// running any of the caller's code; empty when it has none.
OwnedRef client_of_instance(PyObject* self) {
    OwnedRef attributes = OwnedRef::steal(PyObject_GenericGetDict(self, nullptr));
    if (!attributes) {
        PyErr_Clear();
        return OwnedRef();
    }
    PyObject* client = nullptr;
    if (PyDict_GetItemRef(attributes.get(), names._sftp, &client) <= 0) {
        PyErr_Clear();
        return OwnedRef();
    }
    return OwnedRef::steal(client);
}

// The server recorded for the instance's SFTP client.
OwnedRef server_of_instance(PyObject* self) {
    OwnedRef client = client_of_instance(self);
    return client ? clients::server_label(client.get()) : OwnedRef();
}

PyObject* mapping_of_call(const Invocation& call) {
    for (std::size_t index = 1; index < call.argument_count(); ++index) {
        if (PyUnicode_CompareWithASCIIString(call.parameter_name(index), "config") == 0) {
            return call.argument(index);
        }
    }
    return nullptr;
}

OwnedRef server_of_call(const Invocation& call) {
    PyObject* mapping = mapping_of_call(call);
    return mapping != nullptr ? server_in_mapping(mapping) : server_of_instance(call.self());
}

OwnedRef note_for(const Invocation& call, std::optional<PyObject*> server) {
    OwnedRef shown = check(PyList_New(0));
    for (std::size_t index = 1; index < call.argument_count(); ++index) {
        check_status(PyList_Append(shown.get(), shown_argument(call.parameter_name(index), call.argument(index)).get()));
    }
    OwnedRef separator = check(PyUnicode_FromString(", "));
    OwnedRef arguments = check(PyUnicode_Join(separator.get(), shown.get()));
    OwnedRef label = server ? OwnedRef::take(*server) : server_of_call(call);
    if (label) {
        return check(PyUnicode_FromFormat("%s%U(%U) on %U", kNotePrefix, call.method_name(), arguments.get(), label.get()));
    }
    return check(PyUnicode_FromFormat("%s%U(%U)", kNotePrefix, call.method_name(), arguments.get()));
}

// The note, and for a TimeoutError the limit it ran out of (paramiko's
// carries no message).
OwnedRef note_for_failure(const Invocation& call, std::optional<PyObject*> server, PyObject* exception) {
    OwnedRef note = note_for(call, server);
    if (PyErr_GivenExceptionMatches(exception, PyExc_TimeoutError)) {
        if (OwnedRef reason = timeout_reason(call)) {
            return check(PyUnicode_FromFormat("%U: %U", note.get(), reason.get()));
        }
    }
    return note;
}

void attach(PyObject* exception, PyObject* text) {
    OwnedRef added = OwnedRef::steal(PyObject_CallMethodOneArg(exception, names.add_note, text));
    if (!added) {
        PyErr_Clear();
    }
}

}  // namespace

void describe_failure(const Invocation& call, std::optional<PyObject*> server) noexcept {
    if (quiet_depth > 0 || !PyErr_Occurred()) {
        return;
    }
    PendingError failure;
    run_guarded([&] {
        if (!has_our_note(failure.get())) {
            attach(failure.get(), note_for_failure(call, server, failure.get()).get());
        }
    });
    PyErr_Clear();
    failure.restore();
}

void describe_jump_host_failure(const Invocation& call) noexcept {
    if (quiet_depth > 0 || !PyErr_Occurred()) {
        return;
    }
    PendingError failure;
    OwnedRef label;
    run_guarded([&] {
        PyObject* mapping = mapping_of_call(call);
        OwnedRef jump = mapping != nullptr ? server_in_mapping(mapping, names.ssh_host, names.ssh_port, names.ssh_user)
                                           : OwnedRef();
        if (jump) {
            label = check(PyUnicode_FromFormat("jump host %U", jump.get()));
        }
    });
    PyErr_Clear();
    failure.restore();
    describe_failure(call, label.get());
}

OwnedRef note_text(const Invocation& call) { return note_for(call, std::nullopt); }

OwnedRef timeout_reason(const Invocation& call) noexcept {
    if (call.client_method() == nullptr) {
        return OwnedRef();
    }
    OwnedRef client = client_of_instance(call.self());
    const transfers::ClientRecord* record = client ? transfers::record_of(client.get()) : nullptr;
    if (record == nullptr || !record->timeout) {
        return OwnedRef();
    }
    OwnedRef reason = OwnedRef::steal(PyUnicode_FromFormat("no answer within %R s", record->timeout.get()));
    if (!reason) {
        PyErr_Clear();
    }
    return reason;
}

void add_note(PyObject* text) noexcept {
    PendingError failure;
    if (failure.get() != nullptr) {
        attach(failure.get(), text);
    }
    failure.restore();
}

OwnedRef server_label(PyObject* user, PyObject* host_text, PyObject* port_text) noexcept {
    if (host_text == nullptr || port_text == nullptr) {
        return OwnedRef();
    }
    PendingError outer;
    OwnedRef label;
    run_guarded([&] {
        const bool literal_v6 = PyUnicode_FindChar(host_text, ':', 0, PY_SSIZE_T_MAX, 1) >= 0;
        OwnedRef address = check(PyUnicode_FromFormat(literal_v6 ? "[%U]:%U" : "%U:%U", host_text, port_text));
        if (user == nullptr || user == Py_None) {
            label = std::move(address);
            return;
        }
        OwnedRef user_text = text_form(user);
        label = check(PyUnicode_FromFormat("%U@%U", user_text.get(), address.get()));
    });
    PyErr_Clear();
    outer.restore();
    return label;
}

bool looks_secret(PyObject* name) {
    if (!PyUnicode_Check(name)) {
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return true;  // unreadable: safer masked
    }
    std::string lowered(utf8, static_cast<std::size_t>(size));
    for (char& c : lowered) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (std::string_view marker : kSecretMarkers) {
        if (lowered.find(marker) != std::string::npos) {
            return true;
        }
    }
    return false;
}

OwnedRef masked_repr(PyObject* mapping) {
    if (!PyDict_Check(mapping)) {
        return check(PyUnicode_FromFormat("<%s object>", Py_TYPE(mapping)->tp_name));
    }
    OwnedRef items = check(PyList_New(0));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // A copy, so that the caller's code run by a repr cannot change the
    // dict under the walk.
    OwnedRef copy = check(PyDict_Copy(mapping));
    while (PyDict_Next(copy.get(), &position, &key, &value)) {
        OwnedRef shown_key = shown_value(key);
        OwnedRef shown = shown_setting(key, value);
        check_status(PyList_Append(items.get(), check(PyUnicode_FromFormat("%U: %U", shown_key.get(), shown.get())).get()));
    }
    OwnedRef separator = check(PyUnicode_FromString(", "));
    OwnedRef joined = check(PyUnicode_Join(separator.get(), items.get()));
    return check(PyUnicode_FromFormat("{%U}", joined.get()));
}

OwnedRef shown_setting(PyObject* name, PyObject* value) {
    return looks_secret(name) ? check(PyUnicode_FromString(kMask)) : shown_value(value);
}

QuietScope::QuietScope() noexcept { ++quiet_depth; }
QuietScope::~QuietScope() { --quiet_depth; }

}  // namespace sftp::notes
