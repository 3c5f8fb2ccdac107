// The remote operations: each looks up the SFTP client in `_sftp` at every
// call and makes one call of the client method of the matching name, with
// the caller's arguments, positionally.
#include "sftp_main/class_methods.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/names.hpp"

#include <array>

namespace sftp {

namespace {

OwnedRef call_client(const Invocation& call) {
    OwnedRef client = attribute(call.self(), names._sftp);
    std::array<PyObject*, kMaxParameters> arguments{};
    arguments[0] = client.get();
    const std::size_t count = call.argument_count();
    for (std::size_t index = 1; index < count; ++index) {
        arguments[index] = call.argument(index);
    }
    return check(PyObject_VectorcallMethod(call.client_method(), arguments.data(), count, nullptr));
}

// Path and directory operations: every failure reaches the caller as raised.
OwnedRef forward_returning_true(const Invocation& call) {
    call_client(call);
    return OwnedRef::take(Py_True);
}

OwnedRef forward_returning_result(const Invocation& call) { return call_client(call); }

// Transfers report an ordinary failure as False and drop it; interrupts and
// exits still propagate.
OwnedRef transfer(const Invocation& call) {
    try {
        call_client(call);
        return OwnedRef::take(Py_True);
    } catch (const PyErrorRaised&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        PyErr_Clear();
        return OwnedRef::take(Py_False);
    }
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
    {"_upload", {"self", "src_file", "dsc_path"}, transfer, "put"},
    {"_download", {"self", "src_file", "dsc_path"}, transfer, "get"},
};

}  // namespace

std::span<const MethodSpec> operation_methods() { return operations; }

}  // namespace sftp
