#include "sftp_main/extensions/staged_download.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/extensions/client_registry.hpp"
#include "sftp_main/extensions/opted_transfers.hpp"
#include "sftp_main/extensions/staged_file.hpp"
#include "sftp_main/extensions/tcp_no_delay.hpp"
#include "sftp_main/names.hpp"

#include <cerrno>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace sftp {

namespace {

// The staged file's buffer. getfo writes 32 KiB at a time; each write
// that reaches the kernel releases the interpreter lock and wakes
// paramiko's reader thread, and one write per MiB instead of one per
// 32 KiB made downloads about a sixth faster.
constexpr int kWriteBuffer = 1 << 20;

// The destination as a file system path, or nothing when it is not one.
std::optional<std::string> file_system_path(PyObject* destination) {
    OwnedRef path = OwnedRef::steal(PyOS_FSPath(destination));
    if (!path) {
        drop_ordinary_error();
        return std::nullopt;
    }
    OwnedRef encoded = PyBytes_Check(path.get()) ? path : OwnedRef::steal(PyUnicode_EncodeFSDefault(path.get()));
    if (!encoded) {
        drop_ordinary_error();
        return std::nullopt;
    }
    std::string text(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (text.empty() || text.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return text;
}

// Runs `body`, which must not throw, with the interpreter lock released.
template <typename Body>
auto without_interpreter_lock(Body&& body) {
    PyThreadState* state = PyEval_SaveThread();
    auto result = body();
    PyEval_RestoreThread(state);
    return result;
}

void raise_errno(int failure, PyObject* filename) {
    errno = failure;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw PyErrorRaised{};
}

// client.get(source, destination[, callback=progress])
void get_directly(PyObject* client, PyObject* source, PyObject* destination, PyObject* progress) {
    clients::CallGuard one_at_a_time(client);
    const NagleDuringDownload coalesced(client);
    transfers::transfer(client, names.get, source, destination, progress);
}

// Closes the file object over the staged descriptor while the transfer's
// failure is pending. Its own failure is dropped, unless it is an
// interrupt, which then goes up instead.
void close_after_failure(PyObject* file) {
    PendingError failure;
    if (!OwnedRef::steal(PyObject_CallMethodNoArgs(file, names.close))) {
        drop_ordinary_error();
    }
    failure.restore();
    throw PyErrorRaised{};
}

// getfo(source, <file over the staged descriptor>[, callback=progress]),
// then the check that `get` makes: the bytes on disk are as many as getfo
// reported.
void receive(PyObject* client, PyObject* getfo, PyObject* source, const StagedFile& staged, PyObject* progress) {
    // Over the staged descriptor, which it does not close: closing the file
    // object first leaves any reference the client kept to it unable to
    // write anywhere once the descriptor's number is reused.
    OwnedRef file = check(PyFile_FromFd(staged.descriptor(), nullptr, "wb", kWriteBuffer, nullptr, nullptr, nullptr, 0));
    const OwnedRef keywords = progress != nullptr ? transfers::callback_keyword() : OwnedRef();
    OwnedRef size;
    try {
        PyObject* arguments[] = {source, file.get(), progress};
        clients::CallGuard one_at_a_time(client);
        const NagleDuringDownload coalesced(client);
        size = check(PyObject_Vectorcall(getfo, arguments, 2, keywords.get()));
    } catch (const PyErrorRaised&) {
        close_after_failure(file.get());
    }
    call_method(file.get(), names.close);  // writes out what the file object buffers
    struct stat written {};
    if (fstat(staged.descriptor(), &written) != 0) {
        raise_errno(errno, nullptr);
    }
    OwnedRef actual = check(PyLong_FromLongLong(static_cast<long long>(written.st_size)));
    if (check_status(PyObject_RichCompareBool(actual.get(), size.get(), Py_NE)) != 0) {
        OwnedRef message = check(PyUnicode_FromFormat("size mismatch in get!  %S != %S", actual.get(), size.get()));
        PyErr_SetObject(PyExc_OSError, message.get());
        throw PyErrorRaised{};
    }
}

// The staged file for `destination`, or nothing where it is not staged.
std::optional<StagedFile> staged_for(PyObject* destination) {
    const std::optional<std::string> path = file_system_path(destination);
    if (!path) {
        return std::nullopt;
    }
    return without_interpreter_lock([&] { return StagedFile::beside(*path); });
}

}  // namespace

void download_whole(PyObject* client, PyObject* source, PyObject* destination, const OwnedRef& progress) {
    OwnedRef getfo;
    {
        PyObject* found = nullptr;
        check_status(PyObject_GetOptionalAttr(client, names.getfo, &found));
        getfo = OwnedRef::steal(found);
    }
    std::optional<StagedFile> staged = getfo ? staged_for(destination) : std::nullopt;
    if (!staged) {
        get_directly(client, source, destination, progress.get());
        return;
    }
    receive(client, getfo.get(), source, *staged, progress.get());
    if (const int failure = without_interpreter_lock([&] { return staged->commit(); }); failure != 0) {
        raise_errno(failure, destination);
    }
}

}  // namespace sftp
