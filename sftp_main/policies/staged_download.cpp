#include "sftp_main/policies/staged_download.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/policies/block_size.hpp"
#include "sftp_main/policies/blocking_call.hpp"
#include "sftp_main/policies/client_registry.hpp"
#include "sftp_main/policies/opted_transfers.hpp"
#include "sftp_main/policies/reported_size.hpp"
#include "sftp_main/policies/staged_file.hpp"
#include "sftp_main/policies/tcp_no_delay.hpp"
#include "sftp_main/names.hpp"

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace sftp {

namespace {

// The staged file's buffer. getfo writes 32 KiB at a time; each write
// that reaches the kernel releases the interpreter lock and wakes
// paramiko's reader thread, and one write per MiB instead of one per
// 32 KiB made downloads about a sixth faster.
constexpr int kWriteBuffer = 1 << 20;

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

// What is known of a download's destination before any data moves.
struct Destination {
    std::optional<StagedFile> staged;       // where it is staged
    std::optional<ForeignLink> refused;     // the link not to be followed
    std::optional<std::uint64_t> room;      // the bytes it can take, where known
};

// `staging`: whether the client can write into a staged file at all.
Destination look_at(PyObject* destination, bool staging) {
    const std::optional<std::string> path = local_path_of(destination);
    if (!path) {
        return Destination{};
    }
    return without_interpreter_lock([&] {
        std::optional<ForeignLink> refused;
        std::optional<StagedFile> staged = staging ? StagedFile::beside(*path, refused) : std::nullopt;
        if (!staging) {
            refused = foreign_link_at(*path);
        }
        const std::optional<std::uint64_t> room = staged ? staged->room() : refused ? std::nullopt : room_at(*path);
        return Destination{std::move(staged), refused, room};
    });
}

}  // namespace

std::optional<std::string> local_path_of(PyObject* destination) {
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

[[noreturn]] void refuse_foreign_link(PyObject* destination, const ForeignLink& link) {
    OwnedRef message = check(PyUnicode_FromFormat(
        "not following a symbolic link of user %lu, who is neither this process's user (%lu) nor the directory's "
        "owner (%lu)",
        static_cast<unsigned long>(link.link_owner), static_cast<unsigned long>(geteuid()),
        static_cast<unsigned long>(link.directory_owner)));
    raise_os_error(EACCES, message.get(), destination);
}

bool download_staged(PyObject* client, PyObject* source, PyObject* destination, PyObject* progress,
                     const std::function<void()>& contract_get, std::uint32_t read_request) {
    OwnedRef getfo;
    {
        PyObject* found = nullptr;
        check_status(PyObject_GetOptionalAttr(client, names.getfo, &found));
        getfo = OwnedRef::steal(found);
    }
    Destination found = look_at(destination, static_cast<bool>(getfo));
    if (found.refused) {
        refuse_foreign_link(destination, *found.refused);
    }
    std::optional<StagedFile>& staged = found.staged;
    {
        clients::CallGuard one_at_a_time(client);
        // Requests of a block each are few: they go out at once.
        std::optional<NagleDuringDownload> coalesced;
        if (read_request == 0) {
            coalesced.emplace(client);
        }
        std::optional<ReportedSizeLimit> limit;
        if (found.room) {
            limit.emplace(client, source, destination, *found.room);
        }
        if (!staged) {
            contract_get();
            return false;
        }
        if (read_request != 0) {
            blocks::receive(client, source, staged->descriptor(), progress, read_request);
        } else {
            receive(client, getfo.get(), source, *staged, progress);
        }
    }
    if (const int failure = without_interpreter_lock([&] { return staged->commit(); }); failure != 0) {
        raise_errno(failure, destination);
    }
    return true;
}

}  // namespace sftp
