// The remote operations: each looks up the SFTP client in `_sftp` at every
// call and makes one call of the client method of the matching name, with
// the caller's arguments, positionally, holding the client's lock.
#include "sftp_main/contract/class_methods.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/policies/client_registry.hpp"
#include "sftp_main/policies/opted_transfers.hpp"
#include "sftp_main/policies/staged_download.hpp"
#include "sftp_main/policies/transfer_log.hpp"
#include "sftp_main/policies/transfer_options.hpp"
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

// Transfers report an ordinary failure as False, and log why; interrupts
// and exits still propagate, also when the client wrapped one in its own
// error.
template <typename Transfer>
OwnedRef reporting_outcome(const Invocation& call, Transfer&& transfer) {
    try {
        transfer();
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
        transfer_log::log_returned_false(call, failure.get());
        return OwnedRef::take(Py_False);
    }
}

// The progress callable the caller set for `client`, or empty.
OwnedRef progress_for(const transfers::ClientRecord* record) {
    return record != nullptr ? transfers::progress_of(*record) : OwnedRef();
}

OwnedRef upload(const Invocation& call) {
    return reporting_outcome(call, [&] {
        OwnedRef client = attribute(call.self(), names._sftp);
        const transfers::ClientRecord* record = transfers::record_of(client.get());
        if (record == nullptr) {
            call_client(client.get(), call.client_method(), call.arguments(), call.argument_count());
            return;
        }
        const bool atomic = record->atomic_upload;
        OwnedRef progress = progress_for(record);
        clients::CallGuard one_at_a_time(client.get());
        if (atomic) {
            transfers::put_atomically(client.get(), call.argument(1), call.argument(2), progress.get());
        } else {
            transfers::transfer(client.get(), call.client_method(), call.argument(1), call.argument(2), progress.get());
        }
    });
}

OwnedRef download(const Invocation& call) {
    return reporting_outcome(call, [&] {
        OwnedRef client = attribute(call.self(), names._sftp);
        download_whole(client.get(), call.argument(1), call.argument(2), progress_for(transfers::record_of(client.get())));
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
