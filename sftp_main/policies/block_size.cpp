#include "sftp_main/policies/block_size.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/names.hpp"
#include "sftp_main/options/options.hpp"
#include "sftp_main/policies/blocking_call.hpp"
#include "sftp_main/policies/file_descriptor.hpp"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace sftp::blocks {

namespace {

// SFTP packet types (draft-ietf-secsh-filexfer-02), as paramiko numbers them.
constexpr long kRead = 5;
constexpr long kWrite = 6;
constexpr long kStatus = 101;
constexpr long kData = 103;
constexpr long kExtended = 200;
constexpr long kExtendedReply = 201;

constexpr std::uint32_t kSmallestPacket = 32U << 10;
constexpr std::uint32_t kLargestPacket = 128U << 10;
// What a write request carries besides its data.
constexpr std::uint32_t kWriteOverhead = 1U << 10;
constexpr unsigned long long kLargestRequest = 1ULL << 32;
constexpr std::uint32_t kPlainWrite = 32U << 10;

// A limit the server states, an unsigned 64-bit number: beyond what a
// request can be, it limits nothing.
long long as_limit(PyObject* stated) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(stated);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw PyErrorRaised{};
    }
    return static_cast<long long>(std::min<unsigned long long>(value, kLargestRequest));
}

OwnedRef number(long long value) { return check(PyLong_FromLongLong(value)); }

// What a transfer keeps of paramiko's SFTP module: the 64-bit integer type
// its requests encode offsets with.
struct Protocol {
    OwnedRef int64;
    Protocol() {
        OwnedRef module = check(PyImport_ImportModule("paramiko.sftp"));
        int64 = check(PyObject_GetAttrString(module.get(), "int64"));
    }
    OwnedRef offset(long long value) const {
        OwnedRef plain = number(value);
        return check(PyObject_CallOneArg(int64.get(), plain.get()));
    }
};

// response(t, msg, num) of a request's answer that paramiko read while
// waiting for another one: kept by number until it is asked for.
PyObject* keep_response(PyObject* store, PyObject* const* arguments, Py_ssize_t count) {
    if (count != 3) {
        PyErr_SetString(PyExc_TypeError, "expected (type, message, number)");
        return nullptr;
    }
    PyObject* pair = PyTuple_Pack(2, arguments[0], arguments[1]);
    if (pair == nullptr) {
        return nullptr;
    }
    const int stored = PyDict_SetItem(store, arguments[2], pair);
    Py_DECREF(pair);
    return stored == 0 ? Py_NewRef(Py_None) : nullptr;
}

PyMethodDef keep_response_method{"_async_response", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(keep_response)),
                                 METH_FASTCALL, nullptr};

// The requests one transfer has in flight, in the order they were sent.
class Pipeline {
public:
    explicit Pipeline(PyObject* client) : client_(client) {
        store_ = check(PyDict_New());
        OwnedRef keep = check(PyCFunction_New(&keep_response_method, store_.get()));
        // paramiko holds the receiver of answers by weak reference: an
        // instance of a plain class of its own, kept here.
        OwnedRef bases = check(PyTuple_New(0));
        OwnedRef body = check(PyDict_New());
        OwnedRef receiver_class =
            check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", "BlockAnswers", bases.get(), body.get()));
        receiver_ = check(PyObject_CallNoArgs(receiver_class.get()));
        check_status(PyObject_SetAttrString(receiver_.get(), "_async_response", keep.get()));
    }

    struct Request {
        OwnedRef number;
        long long offset;
        long long length;
    };

    // client._async_request(<receiver>, type, arguments...)
    void send(long type, std::initializer_list<PyObject*> arguments, long long offset, long long length) {
        OwnedRef kind = number(type);
        OwnedRef call_arguments = check(PyTuple_New(static_cast<Py_ssize_t>(arguments.size() + 2)));
        PyTuple_SET_ITEM(call_arguments.get(), 0, Py_NewRef(receiver_.get()));
        PyTuple_SET_ITEM(call_arguments.get(), 1, kind.release());
        Py_ssize_t at = 2;
        for (PyObject* argument : arguments) {
            PyTuple_SET_ITEM(call_arguments.get(), at++, Py_NewRef(argument));
        }
        OwnedRef method = check(PyObject_GetAttrString(client_, "_async_request"));
        OwnedRef sent = check(PyObject_Call(method.get(), call_arguments.get(), nullptr));
        in_flight_.push_back(Request{std::move(sent), offset, length});
    }

    std::size_t size() const noexcept { return in_flight_.size(); }

    // The oldest request's answer, (type, message); a failure status raises
    // as paramiko raises it (EOFError at the end of the file).
    std::pair<Request, OwnedRef> next() {
        Request request = std::move(in_flight_.front());
        in_flight_.pop_front();
        PyObject* kept = nullptr;
        if (check_status(PyDict_Pop(store_.get(), request.number.get(), &kept)) == 1) {
            OwnedRef pair = OwnedRef::steal(kept);
            if (as_long_long(PyTuple_GET_ITEM(pair.get(), 0)) == kStatus) {
                check(PyObject_CallMethod(client_, "_convert_status", "O", PyTuple_GET_ITEM(pair.get(), 1)));
            }
            return {std::move(request), std::move(pair)};
        }
        OwnedRef pair = check(PyObject_CallMethod(client_, "_read_response", "O", request.number.get()));
        return {std::move(request), std::move(pair)};
    }

private:
    PyObject* client_;
    OwnedRef store_;
    OwnedRef receiver_;
    std::deque<Request> in_flight_;
};

std::size_t depth_for(std::uint32_t request) {
    return std::clamp<std::size_t>(kPipelineBytes / std::max<std::uint32_t>(request, 1), 2, 64);
}

void write_all(int descriptor, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = without_interpreter_lock([&] { return ::write(descriptor, data, size); });
        if (written < 0) {
            if (errno == EINTR) {
                check_status(PyErr_CheckSignals());
                continue;
            }
            raise_errno(errno, nullptr);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// As many bytes as `size`, or fewer at the end of the file.
std::size_t read_full(int descriptor, char* data, std::size_t size, PyObject* filename) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t read = without_interpreter_lock([&] { return ::read(descriptor, data + got, size - got); });
        if (read < 0) {
            if (errno == EINTR) {
                check_status(PyErr_CheckSignals());
                continue;
            }
            raise_errno(errno, filename);
        }
        if (read == 0) {
            break;
        }
        got += static_cast<std::size_t>(read);
    }
    return got;
}

void report(PyObject* progress, long long done, long long total) {
    if (progress != nullptr) {
        OwnedRef done_number = number(done);
        OwnedRef total_number = number(total);
        check(PyObject_CallFunctionObjArgs(progress, done_number.get(), total_number.get(), nullptr));
    }
    check_status(PyErr_CheckSignals());
}

// file.close() while a failure is pending: what the close raises is
// dropped, unless it is an interrupt, which goes up instead.
[[noreturn]] void close_after_failure(PyObject* file) {
    PendingError failure;
    if (!OwnedRef::steal(PyObject_CallMethodNoArgs(file, names.close))) {
        if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
        } else {
            throw PyErrorRaised{};
        }
    }
    failure.restore();
    throw PyErrorRaised{};
}

// The bytes of a data answer to a read of `asked` bytes; an answer of
// another type, or of more bytes, is the server's mistake.
OwnedRef data_of(const OwnedRef& answer, long long asked) {
    if (as_long_long(PyTuple_GET_ITEM(answer.get(), 0)) != kData) {
        PyErr_SetString(PyExc_OSError, "Expected data");
        throw PyErrorRaised{};
    }
    OwnedRef data = check(PyObject_CallMethod(PyTuple_GET_ITEM(answer.get(), 1), "get_string", nullptr));
    if (!PyBytes_Check(data.get())) {
        PyErr_SetString(PyExc_OSError, "Expected data");
        throw PyErrorRaised{};
    }
    if (PyBytes_GET_SIZE(data.get()) > asked) {
        PyErr_Format(PyExc_OSError, "the server answered a read of %lld bytes with %zd", asked,
                     PyBytes_GET_SIZE(data.get()));
        throw PyErrorRaised{};
    }
    return data;
}

bool at_end_of_file() {
    if (!PyErr_ExceptionMatches(PyExc_EOFError)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

long long reported_size(PyObject* client, PyObject* path) {
    OwnedRef attributes = check(PyObject_CallMethod(client, "stat", "O", path));
    return size_in(attributes.get(), path);
}

// One read request after the other, each given what the last left, until
// [offset, offset + length) is written or the file ends. Returns the bytes
// written.
long long fill_gap(PyObject* client, const Protocol& protocol, PyObject* handle, int descriptor, long long offset,
                   long long length) {
    long long written = 0;
    while (written < length) {
        OwnedRef at = protocol.offset(offset + written);
        OwnedRef answer = OwnedRef::steal(PyObject_CallMethod(client, "_request", "lOOL", kRead, handle, at.get(),
                                                              static_cast<long long>(length - written)));
        if (!answer) {
            if (at_end_of_file()) {
                break;
            }
            throw PyErrorRaised{};
        }
        OwnedRef data = data_of(answer, length - written);
        if (PyBytes_GET_SIZE(data.get()) == 0) {
            break;
        }
        write_all(descriptor, PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
        written += PyBytes_GET_SIZE(data.get());
    }
    return written;
}

// The file's bytes in order into the descriptor; returns how many.
long long read_blocks(PyObject* client, PyObject* file, int descriptor, PyObject* progress, long long total,
                      std::uint32_t request, long long start) {
    const Protocol protocol;
    OwnedRef handle = check(PyObject_GetAttrString(file, "handle"));
    Pipeline pipeline(client);
    const std::size_t depth = depth_for(request);
    long long asked = start;
    long long written = start;
    // A request that cannot be sent (the connection has ended) leaves the
    // answers already on their way to be read: they are written before its
    // failure is raised, so that a transfer resumed later asks for less.
    std::optional<PendingError> unsent;
    auto raise_unsent = [&] {
        PyErr_Clear();
        unsent->restore();
        throw PyErrorRaised{};
    };
    while (written < total) {
        while (!unsent && pipeline.size() < depth && asked < total) {
            const long long length = std::min<long long>(request, total - asked);
            OwnedRef at = protocol.offset(asked);
            OwnedRef size = number(length);
            try {
                pipeline.send(kRead, {handle.get(), at.get(), size.get()}, asked, length);
            } catch (const PyErrorRaised&) {
                unsent.emplace(take_ordinary_error());
                break;
            }
            asked += length;
        }
        if (pipeline.size() == 0) {
            if (unsent) {
                raise_unsent();
            }
            break;
        }
        OwnedRef answer;
        Pipeline::Request sent{};
        try {
            auto [done, pair] = pipeline.next();
            sent = std::move(done);
            answer = std::move(pair);
        } catch (const PyErrorRaised&) {
            if (unsent && PyErr_ExceptionMatches(PyExc_Exception)) {
                raise_unsent();
            }
            if (at_end_of_file()) {
                break;  // the file is shorter than reported: the size check says so
            }
            throw;
        }
        OwnedRef data = data_of(answer, sent.length);
        const long long got = PyBytes_GET_SIZE(data.get());
        write_all(descriptor, PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(got));
        written += got;
        if (got < sent.length) {
            // A server that answers less than asked is asked no more than
            // that; an empty answer says nothing of its cap.
            if (got > 0) {
                request = static_cast<std::uint32_t>(got);
            }
            const long long rest = fill_gap(client, protocol, handle.get(), descriptor, sent.offset + got,
                                            sent.length - got);
            written += rest;
            if (rest < sent.length - got) {
                break;
            }
        }
        report(progress, written, total);
    }
    return written;
}

std::string file_system_path(PyObject* path) {
    OwnedRef given = check(PyOS_FSPath(path));
    OwnedRef encoded = PyBytes_Check(given.get()) ? given : check(PyUnicode_EncodeFSDefault(given.get()));
    std::string text(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (text.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        throw PyErrorRaised{};
    }
    return text;
}

// The local file's bytes, one request of `request` bytes each; returns how many.
long long write_blocks(PyObject* client, PyObject* file, int descriptor, PyObject* source, PyObject* progress,
                       long long total, std::uint32_t request, long long start, long long& settled) {
    const Protocol protocol;
    OwnedRef handle = check(PyObject_GetAttrString(file, "handle"));
    Pipeline pipeline(client);
    const std::size_t depth = depth_for(request);
    long long sent = start;
    settled = start;
    auto settle_oldest = [&] {
        auto [done, answer] = pipeline.next();
        if (as_long_long(PyTuple_GET_ITEM(answer.get(), 0)) != kStatus) {
            PyErr_SetString(PyExc_OSError, "Expected status");
            throw PyErrorRaised{};
        }
        settled = done.offset + done.length;
    };
    for (;;) {
        OwnedRef block = check(PyBytes_FromStringAndSize(nullptr, request));
        const std::size_t got = read_full(descriptor, PyBytes_AS_STRING(block.get()), request, source);
        if (got == 0) {
            break;
        }
        if (got < request) {
            block = check(PyBytes_FromStringAndSize(PyBytes_AS_STRING(block.get()), static_cast<Py_ssize_t>(got)));
        }
        OwnedRef at = protocol.offset(sent);
        pipeline.send(kWrite, {handle.get(), at.get(), block.get()}, sent, static_cast<long long>(got));
        sent += static_cast<long long>(got);
        if (pipeline.size() >= depth) {
            settle_oldest();
        }
        report(progress, sent, total);
    }
    while (pipeline.size() > 0) {
        settle_oldest();
    }
    return sent;
}

}  // namespace

OwnedRef open_sized_sftp(PyObject* sftp_client_class, PyObject* transport, Options& options) {
    const auto block = options[Option::block_size] ? static_cast<std::uint32_t>(as_long_long(options[Option::block_size].get()))
                                                   : kUnstatedLimit;
    const std::uint32_t packet = std::clamp(block, kSmallestPacket, kLargestPacket);
    const std::uint32_t window = kPipelineBytes + 2 * block;
    OwnedRef window_number = number(window);
    OwnedRef packet_number = number(packet);
    check_status(PyObject_SetAttrString(transport, "default_window_size", window_number.get()));
    check_status(PyObject_SetAttrString(transport, "default_max_packet_size", packet_number.get()));
    OwnedRef open_session = check(PyObject_GetAttr(transport, names.open_session));
    OwnedRef keywords = check(PyDict_New());
    check_status(PyDict_SetItemString(keywords.get(), "window_size", window_number.get()));
    check_status(PyDict_SetItemString(keywords.get(), "max_packet_size", packet_number.get()));
    OwnedRef no_arguments = check(PyTuple_New(0));
    OwnedRef channel = check(PyObject_Call(open_session.get(), no_arguments.get(), keywords.get()));
    if (options[Option::timeout]) {
        check(PyObject_CallMethodOneArg(channel.get(), names.settimeout, options[Option::timeout].get()));
    }
    OwnedRef subsystem = check(PyUnicode_FromString("sftp"));
    check(PyObject_CallMethodOneArg(channel.get(), names.invoke_subsystem, subsystem.get()));
    OwnedRef client = check(PyObject_CallOneArg(sftp_client_class, channel.get()));

    // limits@openssh.com: max-packet-length, max-read-length,
    // max-write-length, max-open-handles; a zero states no limit. A server
    // without the extension answers that it does not support it.
    long long packet_limit = 0;
    long long read_limit = 0;
    long long write_limit = 0;
    OwnedRef answer = OwnedRef::steal(PyObject_CallMethod(client.get(), "_request", "ls", kExtended, "limits@openssh.com"));
    if (!answer) {
        drop_ordinary_error();
    } else if (PyTuple_Check(answer.get()) && PyTuple_GET_SIZE(answer.get()) == 2 &&
               as_long_long(PyTuple_GET_ITEM(answer.get(), 0)) == kExtendedReply) {
        PyObject* message = PyTuple_GET_ITEM(answer.get(), 1);
        packet_limit = as_limit(check(PyObject_CallMethod(message, "get_int64", nullptr)).get());
        read_limit = as_limit(check(PyObject_CallMethod(message, "get_int64", nullptr)).get());
        write_limit = as_limit(check(PyObject_CallMethod(message, "get_int64", nullptr)).get());
    }
    auto within = [&](long long limit) {
        const long long cap = limit > 0 ? limit : kUnstatedLimit;
        return static_cast<std::uint32_t>(std::clamp<long long>(cap, 1, block));
    };
    options.read_request = within(read_limit);
    options.write_request = within(write_limit);
    if (packet_limit > kWriteOverhead) {
        options.write_request = std::min<std::uint32_t>(
            options.write_request, static_cast<std::uint32_t>(std::min<long long>(packet_limit - kWriteOverhead, block)));
    }
    if (!options[Option::block_size]) {
        // Writes as large as paramiko's own, which every server takes; a
        // read larger than a server serves is only answered shorter.
        options.write_request = std::min(options.write_request, kPlainWrite);
    }
    return client;
}

void receive(PyObject* client, PyObject* source, int descriptor, PyObject* progress, std::uint32_t request) {
    receive_rest(client, source, descriptor, progress, request, 0, reported_size(client, source));
}

void receive_rest(PyObject* client, PyObject* source, int descriptor, PyObject* progress, std::uint32_t request,
                  long long start, long long total) {
    if (lseek(descriptor, start, SEEK_SET) < 0) {
        raise_errno(errno, nullptr);
    }
    OwnedRef file = check(PyObject_CallMethod(client, "open", "Os", source, "rb"));
    long long written = 0;
    try {
        written = read_blocks(client, file.get(), descriptor, progress, total, request, start);
    } catch (const PyErrorRaised&) {
        close_after_failure(file.get());
    }
    call_method(file.get(), names.close);
    struct stat on_disk {};
    if (fstat(descriptor, &on_disk) != 0) {
        raise_errno(errno, nullptr);
    }
    if (static_cast<long long>(on_disk.st_size) != total || written != total) {
        PyErr_Format(PyExc_OSError, "size mismatch in get!  %lld != %lld", static_cast<long long>(on_disk.st_size),
                     total);
        throw PyErrorRaised{};
    }
}

long long size_in(PyObject* attributes, PyObject* path) {
    OwnedRef size = check(PyObject_GetAttr(attributes, names.st_size));
    if (!PyLong_Check(size.get())) {
        PyErr_Format(PyExc_OSError, "the server gave no size for %.200R", path);
        throw PyErrorRaised{};
    }
    return as_long_long(size.get());
}

FileDescriptor open_source(PyObject* source, struct stat& status) {
    const std::string path = file_system_path(source);
    FileDescriptor local(without_interpreter_lock([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!local) {
        raise_errno(errno, source);
    }
    if (fstat(local.get(), &status) != 0) {
        raise_errno(errno, source);
    }
    return local;
}

void send(PyObject* client, PyObject* source, PyObject* destination, PyObject* progress, std::uint32_t request) {
    struct stat status {};
    const FileDescriptor local = open_source(source, status);
    long long settled = 0;
    send_rest(client, local.get(), source, destination, progress, request, 0, static_cast<long long>(status.st_size),
              settled);
}

void send_rest(PyObject* client, int local, PyObject* source, PyObject* destination, PyObject* progress,
               std::uint32_t request, long long start, long long total, long long& settled) {
    if (lseek(local, start, SEEK_SET) < 0) {
        raise_errno(errno, source);
    }
    // Past the start the file is written where it stands, never truncated.
    OwnedRef file = check(PyObject_CallMethod(client, "open", "Os", destination, start == 0 ? "wb" : "r+"));
    long long sent = 0;
    try {
        sent = write_blocks(client, file.get(), local, source, progress, total, request, start, settled);
    } catch (const PyErrorRaised&) {
        close_after_failure(file.get());
    }
    call_method(file.get(), names.close);
    if (const long long held = reported_size(client, destination); held != sent) {
        PyErr_Format(PyExc_OSError, "size mismatch in put!  %lld != %lld", held, sent);
        throw PyErrorRaised{};
    }
}

long long remote_size(PyObject* client, PyObject* path) { return reported_size(client, path); }

OwnedRef read_range(PyObject* client, PyObject* path, long long offset, long long length) {
    OwnedRef file = check(PyObject_CallMethod(client, "open", "Os", path, "rb"));
    OwnedRef data;
    try {
        check(PyObject_CallMethod(file.get(), "seek", "L", offset));
        data = check(PyObject_CallMethod(file.get(), "read", "L", length));
    } catch (const PyErrorRaised&) {
        close_after_failure(file.get());
    }
    call_method(file.get(), names.close);
    if (!PyBytes_Check(data.get())) {
        PyErr_SetString(PyExc_OSError, "Expected data");
        throw PyErrorRaised{};
    }
    return data;
}

}  // namespace sftp::blocks
