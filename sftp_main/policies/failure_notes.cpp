#include "sftp_main/policies/failure_notes.hpp"

#include "sftp_main/address.hpp"
#include "sftp_main/calls.hpp"
#include "sftp_main/policies/client_registry.hpp"
#include "sftp_main/globals.hpp"
#include "sftp_main/names.hpp"
#include "sftp_main/options/options.hpp"

namespace sftp::notes {

namespace {

constexpr const char* kNotePrefix = "sftp_main: ";
constexpr Py_ssize_t kMaxShownLength = 100;
constexpr const char* kMask = "'***'";

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

// --- what to do about a failure, where the exception alone tells ---

constexpr const char* kSocketClosed = "Socket is closed";

bool is_method(const Invocation& call, const char* name) {
    return PyUnicode_CompareWithASCIIString(call.method_name(), name) == 0;
}

// The methods that change something on the server. A server answers a
// full disk, a read-only file system and a used-up quota alike, with the
// protocol's generic failure.
bool changes_the_server(const Invocation& call) {
    for (const char* name : {"_upload", "_mkdir", "_rmdir", "_remove", "_rename", "_posix_rename"}) {
        if (is_method(call, name)) {
            return true;
        }
    }
    return false;
}

// The exception's one text argument, or null. Read from `args`, so that no
// __str__ of anyone's runs.
PyObject* only_text_argument(PyObject* exception) {
    OwnedRef arguments = OwnedRef::steal(PyException_GetArgs(exception));
    if (!arguments || !PyTuple_Check(arguments.get()) || PyTuple_GET_SIZE(arguments.get()) != 1) {
        return nullptr;
    }
    PyObject* text = PyTuple_GET_ITEM(arguments.get(), 0);
    return PyUnicode_Check(text) ? text : nullptr;  // the exception keeps it alive
}

bool has_no_arguments(PyObject* exception) {
    OwnedRef arguments = OwnedRef::steal(PyException_GetArgs(exception));
    return arguments && PyTuple_Check(arguments.get()) && PyTuple_GET_SIZE(arguments.get()) == 0;
}

bool starts_with(PyObject* text, const char* prefix) {
    OwnedRef head = check(PyUnicode_FromString(prefix));
    return check_status(static_cast<int>(PyUnicode_Tailmatch(text, head.get(), 0, PY_SSIZE_T_MAX, -1))) == 1;
}

// paramiko's IOError(text): an OSError itself, with no errno.
bool plain_os_error_saying(PyObject* exception, const char* text) {
    if (Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_OSError)) {
        return false;
    }
    PyObject* argument = only_text_argument(exception);
    return argument != nullptr && PyUnicode_CompareWithASCIIString(argument, text) == 0;
}

// `_sftp` missing on the instance: the generic attribute lookup's own error.
bool before_connect(const Invocation& call, PyObject* exception) {
    if (Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_AttributeError) || is_method(call, "_connect")) {
        return false;
    }
    auto* error = reinterpret_cast<PyAttributeErrorObject*>(exception);
    return error->obj == call.self() && error->name != nullptr && PyUnicode_Check(error->name) &&
           PyUnicode_Compare(error->name, names._sftp) == 0;
}

// The ways paramiko reports that the connection went away under a call.
bool connection_lost(const Invocation& call, PyObject* exception) {
    if (Py_TYPE(exception) == reinterpret_cast<PyTypeObject*>(PyExc_EOFError)) {
        return has_no_arguments(exception);
    }
    if (plain_os_error_saying(exception, kSocketClosed)) {
        return true;
    }
    PyObject* text = only_text_argument(exception);
    if (text == nullptr || !starts_with(text, "Server connection dropped")) {
        return false;
    }
    OwnedRef name = check(PyUnicode_FromString("SSHException"));
    OwnedRef ssh_exception = paramiko_attribute(call.globals(), name.get());
    return reinterpret_cast<PyObject*>(Py_TYPE(exception)) == ssh_exception.get();
}

// The server's generic failure for a change, or paramiko's finding that an
// upload's remote file came out shorter than what was sent.
bool refused_write(const Invocation& call, PyObject* exception) {
    if (!changes_the_server(call)) {
        return false;
    }
    if (plain_os_error_saying(exception, "Failure")) {
        return true;
    }
    if (!is_method(call, "_upload") || Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_OSError)) {
        return false;
    }
    PyObject* text = only_text_argument(exception);
    return text != nullptr && starts_with(text, "size mismatch in put!");
}

std::shared_ptr<const Options> options_of_instance(const Invocation& call) {
    OwnedRef client = client_of_instance(call.self());
    return client ? clients::options_of(client.get()) : nullptr;
}

// The last component of a remote path given as a text, or "NAME".
OwnedRef remote_base_name(PyObject* path) {
    if (!PyUnicode_Check(path)) {
        return check(PyUnicode_FromString("NAME"));
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(path);
    const Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, length, -1);
    if (slash == -2) {
        throw PyErrorRaised{};
    }
    return check(PyUnicode_Substring(path, slash + 1, length));
}

// What an upload that stopped midway leaves on the server. `cut_off`: the
// connection went with it, so that nothing staged could be removed.
OwnedRef upload_leftover(const Invocation& call, bool cut_off) {
    const std::shared_ptr<const Options> options = options_of_instance(call);
    OwnedRef destination = shown_value(call.argument(2));
    if (options == nullptr || !(*options)[Option::atomic_upload]) {
        return check(PyUnicode_FromFormat(" A partial file may be left at %U on the server.", destination.get()));
    }
    if (!cut_off) {
        return check(PyUnicode_FromFormat(" %U on the server is as it was (\"atomic_upload\").", destination.get()));
    }
    OwnedRef base_name = remote_base_name(call.argument(2));
    OwnedRef staged = shown_value(check(PyUnicode_FromFormat(".%U.<16 hex>.part", base_name.get())).get());
    return check(PyUnicode_FromFormat(
        " %U on the server is as it was (\"atomic_upload\"), but the hidden %U beside it may remain: it is safe to "
        "delete.",
        destination.get(), staged.get()));
}

// What a download that stopped midway leaves here.
OwnedRef download_leftover(const Invocation& call) {
    OwnedRef destination = shown_value(call.argument(2));
    return check(PyUnicode_FromFormat(
        " The local file %U is as it was, unless it could not be staged (a link, a device, a file with other links "
        "or an access control list): then it may hold part of the download.",
        destination.get()));
}

// `unsent`: paramiko found the channel closed before it sent the request.
OwnedRef lost_connection_hint(const Invocation& call, bool unsent) {
    OwnedRef what_is_left;
    if (is_method(call, "_upload")) {
        what_is_left = upload_leftover(call, true);
    } else if (is_method(call, "_download")) {
        what_is_left = download_leftover(call);
    } else if (changes_the_server(call)) {
        what_is_left = check(PyUnicode_FromString(unsent ? " The request was not sent: the server made no change."
                                                         : " Whether the server made the change is not known."));
    } else {
        what_is_left = check(PyUnicode_FromString(""));
    }
    return check(PyUnicode_FromFormat(
        "Connection lost: the connection to the server is closed (the server or the network dropped it, or _close() "
        "ended it); call _connect() for a new one.%U",
        what_is_left.get()));
}

OwnedRef refused_write_hint(const Invocation& call) {
    OwnedRef what_is_left = is_method(call, "_upload") ? upload_leftover(call, false) : check(PyUnicode_FromString(""));
    return check(PyUnicode_FromFormat(
        "The server refused the write or cut it short: on the server, the disk may be full, the file system "
        "read-only, or a quota used up.%U",
        what_is_left.get()));
}

// The hint for `exception`, or empty.
OwnedRef hint_for(const Invocation& call, PyObject* exception) {
    if (before_connect(call, exception)) {
        return check(PyUnicode_FromString("Not connected: call _connect() first."));
    }
    if (call.client_method() == nullptr && !is_method(call, "_close")) {
        return OwnedRef();
    }
    if (connection_lost(call, exception)) {
        return lost_connection_hint(call, plain_os_error_saying(exception, kSocketClosed));
    }
    if (refused_write(call, exception)) {
        return refused_write_hint(call);
    }
    return OwnedRef();
}

bool has_note(PyObject* exception, PyObject* text) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(exception, names.__notes__, &found) <= 0) {
        PyErr_Clear();
        return false;
    }
    OwnedRef existing = OwnedRef::steal(found);
    return PyList_Check(existing.get()) && check_status(PySequence_Contains(existing.get(), text)) == 1;
}

// paramiko's TimeoutError has no message: it gets the limit it ran out of.
void give_timeout_its_limit(const Invocation& call, PyObject* exception) {
    if (Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_TimeoutError) || !has_no_arguments(exception)) {
        return;
    }
    if (OwnedRef reason = timeout_reason(call)) {
        OwnedRef arguments = check(PyTuple_Pack(1, reason.get()));
        PyException_SetArgs(exception, arguments.get());
    }
}

void explain(const Invocation& call, PyObject* exception) {
    give_timeout_its_limit(call, exception);
    OwnedRef hint = hint_for(call, exception);
    if (hint && !has_note(exception, hint.get())) {
        attach(exception, hint.get());
    }
}

}  // namespace

void explain_failure(const Invocation& call, PyObject* exception) noexcept {
    if (quiet_depth > 0 || exception == nullptr) {
        return;
    }
    PendingError outer;
    run_guarded([&] { explain(call, exception); });
    PyErr_Clear();
    outer.restore();
}

void describe_failure(const Invocation& call, std::optional<PyObject*> server) noexcept {
    if (quiet_depth > 0 || !PyErr_Occurred()) {
        return;
    }
    PendingError failure;
    run_guarded([&] {
        if (!has_our_note(failure.get())) {
            attach(failure.get(), note_for_failure(call, server, failure.get()).get());
            explain(call, failure.get());
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
        if (mapping == nullptr) {
            return;
        }
        OwnedRef host_name = check(PyUnicode_FromString("ssh_host"));
        OwnedRef port_name = check(PyUnicode_FromString("ssh_port"));
        OwnedRef user_name = check(PyUnicode_FromString("ssh_user"));
        if (OwnedRef jump = server_in_mapping(mapping, host_name.get(), port_name.get(), user_name.get())) {
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
    const std::shared_ptr<const Options> options = client ? clients::options_of(client.get()) : nullptr;
    if (options == nullptr || !(*options)[Option::timeout]) {
        return OwnedRef();
    }
    OwnedRef reason = OwnedRef::steal(PyUnicode_FromFormat("no answer within %R s", (*options)[Option::timeout].get()));
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
        OwnedRef address = address_text(host_text, port_text, Brackets::ForIPv6);
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
    return is_secret(name) ? check(PyUnicode_FromString(kMask)) : shown_value(value);
}

QuietScope::QuietScope() noexcept { ++quiet_depth; }
QuietScope::~QuietScope() { --quiet_depth; }

}  // namespace sftp::notes
