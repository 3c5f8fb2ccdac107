#include "sftp_main/policies/opted_transfers.hpp"

#include "sftp_main/contract/extension_points.hpp"
#include "sftp_main/options/options.hpp"
#include "sftp_main/policies/block_size.hpp"
#include "sftp_main/policies/random_suffix.hpp"
#include "sftp_main/names.hpp"

#include <algorithm>
#include <string>

namespace sftp::transfers {

namespace {

// A file name stays within NAME_MAX (255 bytes) with the temporary name's
// additions; a longer name is cut for the temporary one only.
constexpr Py_ssize_t kMaxKeptNameBytes = 200;

// The leading part of `name` (text) whose UTF-8 form fits in the limit.
OwnedRef cut_name(PyObject* name) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
        throw PyErrorRaised{};
    }
    if (size <= kMaxKeptNameBytes) {
        return OwnedRef::take(name);
    }
    Py_ssize_t cut = kMaxKeptNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) {
        --cut;  // not inside a character
    }
    return check(PyUnicode_DecodeUTF8(utf8, cut, "strict"));
}


// client.<method>(path), whatever it raises dropped: the connection may be
// gone, and the failure that led here is the one to report.
void call_quietly(PyObject* client, PyObject* method, PyObject* path) noexcept {
    PendingError original;
    run_guarded([&] {
        PyObject* arguments[] = {client, path};
        check(PyObject_VectorcallMethod(method, arguments, 2, nullptr));
    });
    PyErr_Clear();
    original.restore();
}

// A put into an existing file keeps its permission bits; the file that
// replaces it gets them too, so that a private file does not turn readable.
// Set-id bits are not carried over, as a write drops them. Nothing is done
// when the destination is missing or is no regular file; a chmod the
// server refuses fails the upload rather than widen the file.
void keep_replaced_mode(PyObject* client, PyObject* temporary, PyObject* destination) {
    constexpr long kPermissionBits = 0777;
    constexpr long kFileTypeMask = 0170000;
    constexpr long kRegularFile = 0100000;
    PyObject* lstat_arguments[] = {client, destination};
    OwnedRef attributes = OwnedRef::steal(PyObject_VectorcallMethod(names.lstat, lstat_arguments, 2, nullptr));
    if (!attributes) {
        drop_error_of(PyExc_FileNotFoundError);
        return;
    }
    OwnedRef mode = check(PyObject_GetAttr(attributes.get(), names.st_mode));
    if (!PyLong_Check(mode.get())) {
        return;
    }
    const long bits = PyLong_AsLong(mode.get());
    if (bits == -1 && PyErr_Occurred()) {
        throw PyErrorRaised{};
    }
    if ((bits & kFileTypeMask) != kRegularFile) {
        return;
    }
    OwnedRef permissions = check(PyLong_FromLong(bits & kPermissionBits));
    PyObject* chmod_arguments[] = {client, temporary, permissions.get()};
    check(PyObject_VectorcallMethod(names.chmod, chmod_arguments, 3, nullptr));
}

// The server's refusal, with what atomic_upload needs of the server.
[[noreturn]] void raise_rename_refused(PyObject* destination) {
    PendingError refusal;
    OwnedRef reason = OwnedRef::steal(PyObject_Str(refusal.get()));
    if (!reason) {
        PyErr_Clear();
        reason = check(PyUnicode_FromString("?"));
    }
    PyErr_Format(PyExc_OSError,
                 "atomic_upload: the server did not move the uploaded file onto %.200R with "
                 "posix-rename@openssh.com (%U); the upload needs that extension and is never done non-atomically",
                 destination, reason.get());
    PendingError ours;
    PyException_SetCause(ours.get(), refusal.get() ? Py_NewRef(refusal.get()) : nullptr);
    PyException_SetContext(ours.get(), refusal.get() ? Py_NewRef(refusal.get()) : nullptr);
    ours.restore();
    throw PyErrorRaised{};
}

// client.<method>(source, destination), with callback=progress when set;
// with `write_request` not 0, put's work in requests of that size instead.
void transfer(PyObject* client, PyObject* method, PyObject* source, PyObject* destination, PyObject* progress,
              std::uint32_t write_request) {
    if (write_request != 0) {
        blocks::send(client, source, destination, progress, write_request);
        return;
    }
    PyObject* arguments[] = {client, source, destination, progress};
    if (progress == nullptr) {
        check(PyObject_VectorcallMethod(method, arguments, 3, nullptr));
    } else {
        check(PyObject_VectorcallMethod(method, arguments, 3, callback_keyword().get()));
    }
}

}  // namespace

// posixpath.join(head, ".NAME.<16 hex>.part") for a remote path of text or
// bytes, as paramiko takes them.
OwnedRef staging_directory(PyObject* destination, const std::string& suffix) {
    OwnedRef posixpath = check(PyImport_ImportModule("posixpath"));
    OwnedRef parts = check(PyObject_CallMethod(posixpath.get(), "split", "O", destination));
    PyObject* head = PyTuple_GET_ITEM(parts.get(), 0);
    PyObject* name = PyTuple_GET_ITEM(parts.get(), 1);
    if (PyObject_Length(name) == 0) {
        PyErr_Format(PyExc_IsADirectoryError, "atomic_upload needs a file name to upload to; got %.200R",
                     destination);
        throw PyErrorRaised{};
    }
    OwnedRef temporary_name;
    if (PyBytes_Check(name)) {
        const Py_ssize_t kept = std::min(PyBytes_GET_SIZE(name), kMaxKeptNameBytes);
        std::string text = ".";
        text.append(PyBytes_AS_STRING(name), static_cast<std::size_t>(kept));
        text += "." + suffix + ".part";
        temporary_name = check(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    } else {
        OwnedRef kept = cut_name(name);
        temporary_name = check(PyUnicode_FromFormat(".%U.%s.part", kept.get(), suffix.c_str()));
    }
    return check(PyObject_CallMethod(posixpath.get(), "join", "OO", head, temporary_name.get()));
}

Staging make_staging(PyObject* client, PyObject* destination, const std::string& suffix) {
    OwnedRef hidden = staging_directory(destination, suffix);
    OwnedRef mode = check(PyLong_FromLong(0700));
    PyObject* arguments[] = {client, hidden.get(), mode.get()};
    if (!OwnedRef::steal(PyObject_VectorcallMethod(names.mkdir, arguments, 3, nullptr))) {
        drop_error_of(PyExc_OSError);
        return Staging{{}, std::move(hidden)};
    }
    return staging_in(destination, std::move(hidden));
}

Staging staging_in(PyObject* destination, OwnedRef directory) {
    OwnedRef posixpath = check(PyImport_ImportModule("posixpath"));
    OwnedRef name = check(PyObject_CallMethod(posixpath.get(), "basename", "O", destination));
    OwnedRef file = check(PyObject_CallMethod(posixpath.get(), "join", "OO", directory.get(), name.get()));
    return Staging{std::move(directory), std::move(file)};
}

void Staging::remove_quietly(PyObject* client) const noexcept {
    call_quietly(client, names.remove, file.get());
    if (directory) {
        call_quietly(client, names.rmdir, directory.get());
    }
}

void finish_staged(PyObject* client, const Staging& staging, PyObject* destination) {
    PyObject* staged = staging.file.get();
    try {
        keep_replaced_mode(client, staged, destination);
    } catch (const PyErrorRaised&) {
        staging.remove_quietly(client);
        throw;
    }
    try {
        PyObject* arguments[] = {client, staged, destination};
        check(PyObject_VectorcallMethod(names.posix_rename, arguments, 3, nullptr));
    } catch (const PyErrorRaised&) {
        const bool ordinary = PyErr_ExceptionMatches(PyExc_Exception);
        staging.remove_quietly(client);
        if (ordinary) {
            raise_rename_refused(destination);
        }
        throw;
    }
    if (staging.directory) {
        // The file is in place: an empty directory left behind is no
        // reason to report the upload as failed.
        PyObject* arguments[] = {client, staging.directory.get()};
        if (!OwnedRef::steal(PyObject_VectorcallMethod(names.rmdir, arguments, 2, nullptr))) {
            drop_ordinary_error();
        }
    }
}

namespace {

// Puts `source` into a private directory of a hidden temporary name in
// `destination`'s remote directory (".NAME.<16 hex>.part/NAME"; where the
// server makes no directory, the file ".NAME.<16 hex>.part" itself), then
// moves it onto `destination` with posix_rename, so that a reader sees the
// old file or the whole new one. On any failure what was staged is removed
// where the connection still allows, and the failure raised; there is no
// non-atomic fallback.
void put_atomically(PyObject* client, PyObject* source, PyObject* destination, PyObject* progress,
                    std::uint32_t write_request) {
    const Staging staging = make_staging(client, destination, random_suffix());
    try {
        transfer(client, names.put, source, staging.file.get(), progress, write_request);
    } catch (const PyErrorRaised&) {
        staging.remove_quietly(client);
        throw;
    }
    finish_staged(client, staging, destination);
}

}  // namespace

OwnedRef callback_keyword() { return check(PyTuple_Pack(1, names.callback)); }

}  // namespace sftp::transfers

namespace sftp {

bool points::upload(PyObject* client, PyObject* source, PyObject* destination, const Options* options) {
    if (options == nullptr || (!(*options)[Option::atomic_upload] && options->write_request == 0)) {
        return false;
    }
    OwnedRef callback = progress(options);
    if ((*options)[Option::atomic_upload]) {
        transfers::put_atomically(client, source, destination, callback.get(), options->write_request);
    } else {
        blocks::send(client, source, destination, callback.get(), options->write_request);
    }
    return true;
}

}  // namespace sftp
