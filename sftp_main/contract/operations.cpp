// The remote operations: each looks up the SFTP client in `_sftp` at every
// call and makes one call of the client method of the matching name, with
// the caller's arguments, positionally, holding the client's lock.
#include "sftp_main/contract/class_methods.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/contract/extension_points.hpp"
#include "sftp_main/names.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace sftp {

namespace {

// client.<method>(arguments...), one call at a time per client.
inline OwnedRef call_client(PyObject* client, PyObject* method, PyObject* const* arguments, std::size_t count) {
    std::array<PyObject*, kMaxParameters> vector{};
    vector[0] = client;
    for (std::size_t index = 1; index < count; ++index) {
        vector[index] = arguments[index];
    }
    clients::CallGuard one_at_a_time(client);
    return check(PyObject_VectorcallMethod(method, vector.data(), count, nullptr));
}

OwnedRef call_client(const Invocation& call) {
    OwnedRef client = attribute(call.self(), names._sftp);
    return call_client(client.get(), call.client_method(), call.arguments(), call.argument_count());
}

// Path and directory operations: every failure reaches the caller as raised.
OwnedRef forward_returning_true(const Invocation& call) {
    call_client(call);
    return OwnedRef::take(Py_True);
}

OwnedRef forward_returning_result(const Invocation& call) { return call_client(call); }

// The first exception in `error`'s chain of causes and contexts that is not
// an ordinary Exception (an interrupt or an exit that paramiko wrapped in
// an error of its own), or an empty reference. The chain is followed no
// further than `handled`, the exception the caller was handling when it
// called: every error raised in an except block has it as its context.
OwnedRef interrupt_in_chain(PyObject* error, PyObject* handled) {
    constexpr std::size_t kMaxLinks = 256;
    std::vector<OwnedRef> visited;  // owned, so that identities stay meaningful
    std::vector<OwnedRef> pending;
    pending.push_back(OwnedRef::take(error));
    while (!pending.empty() && visited.size() < kMaxLinks) {
        OwnedRef link = std::move(pending.back());
        pending.pop_back();
        if (link.get() == handled ||
            std::any_of(visited.begin(), visited.end(), [&](const OwnedRef& seen) { return seen.get() == link.get(); })) {
            continue;
        }
        if (!PyErr_GivenExceptionMatches(link.get(), PyExc_Exception)) {
            return link;
        }
        if (OwnedRef cause = OwnedRef::steal(PyException_GetCause(link.get()))) {
            pending.push_back(std::move(cause));
        }
        if (OwnedRef context = OwnedRef::steal(PyException_GetContext(link.get()))) {
            pending.push_back(std::move(context));
        }
        visited.push_back(std::move(link));
    }
    return OwnedRef();
}

// Transfers report an ordinary failure as False; interrupts and exits still
// propagate, also when the client wrapped one in its own error. `transfer`
// is given where to put the options it finds for the client.
struct TransferContext {
    std::shared_ptr<const Options> options;
    int attempts = 0;
};

template <typename Transfer>
OwnedRef reporting_outcome(const Invocation& call, Transfer&& transfer) {
    TransferContext context;
    try {
        transfer(context);
        return OwnedRef::take(Py_True);
    } catch (const PyErrorRaised&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        PendingError failure;
        const OwnedRef handled = OwnedRef::steal(PyErr_GetHandledException());  // the caller's, if any
        if (OwnedRef interrupt = interrupt_in_chain(failure.get(), handled.get())) {
            PyErr_SetRaisedException(interrupt.release());
            throw;
        }
        points::transfer_failed(call, failure.get(), context.options.get(), context.attempts);
        return OwnedRef::take(Py_False);
    }
}

// client.<method>(source, destination), with callback=progress when set.
void contract_transfer(PyObject* client, PyObject* method, PyObject* source, PyObject* destination,
                       PyObject* progress) {
    OwnedRef keywords = progress != nullptr ? check(PyTuple_Pack(1, names.callback)) : OwnedRef();
    PyObject* arguments[] = {client, source, destination, progress};
    check(PyObject_VectorcallMethod(method, arguments, 3, keywords.get()));
}

// client.put(src_file, dsc_path)
OwnedRef upload(const Invocation& call) {
    return reporting_outcome(call, [&](TransferContext& context) {
        OwnedRef client = attribute(call.self(), names._sftp);
        if (points::survives_drops(client.get(), context.options)) {
            points::upload_surviving_drops(call.self(), call.argument(1), call.argument(2), *context.options,
                                           context.attempts);
            return;
        }
        clients::CallGuard one_at_a_time(client.get());
        std::shared_ptr<const Options>& options = context.options;
        options = one_at_a_time.options();
        if (!points::upload(client.get(), call.argument(1), call.argument(2), options.get())) {
            OwnedRef progress = points::progress(options.get());
            contract_transfer(client.get(), call.client_method(), call.argument(1), call.argument(2), progress.get());
        }
    });
}

// client.get(src_file, dsc_path). For every client with getfo, and every
// destination it can stage, the staged download takes get's place: get
// truncates the local file before it knows that the remote one can be
// read, and the staged download leaves it as it was on any failure.
OwnedRef download(const Invocation& call) {
    return reporting_outcome(call, [&](TransferContext& context) {
        OwnedRef client = attribute(call.self(), names._sftp);
        if (points::survives_drops(client.get(), context.options)) {
            points::download_surviving_drops(
                call.self(), call.argument(1), call.argument(2), *context.options, context.attempts,
                [&](PyObject* client_now, PyObject* progress) {
                    clients::CallGuard one_at_a_time(client_now);
                    contract_transfer(client_now, call.client_method(), call.argument(1), call.argument(2), progress);
                });
            return;
        }
        std::shared_ptr<const Options>& options = context.options;
        options = clients::options_of(client.get());
        points::download(client.get(), call.argument(1), call.argument(2), options.get(), [&] {
            OwnedRef progress = points::progress(options.get());
            clients::CallGuard one_at_a_time(client.get());
            contract_transfer(client.get(), call.client_method(), call.argument(1), call.argument(2), progress.get());
        });
    });
}

const MethodSpec operations[] = {
    {"_remove", {"self", "path"}, forward_returning_true, "remove"},
    {"_rename", {"self", "ole_path", "new_path"}, forward_returning_true, "rename"},
    {"_posix_rename", {"self", "ole_path", "new_path"}, forward_returning_true, "posix_rename"},
    {"_mkdir", {"self", "path"}, forward_returning_true, "mkdir"},
    {"_rmdir", {"self", "path"}, forward_returning_true, "rmdir"},
    {"_stat", {"self", "file_path"}, forward_returning_result, "stat"},
    {"_normalize", {"self", "path"}, forward_returning_result, "normalize"},
    {"_chdir", {"self", "path"}, forward_returning_true, "chdir"},
    {"_upload", {"self", "src_file", "dsc_path"}, upload, "put"},
    {"_download", {"self", "src_file", "dsc_path"}, download, "get"},
};

}  // namespace

std::span<const MethodSpec> operation_methods() { return operations; }

}  // namespace sftp
