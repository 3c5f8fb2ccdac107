// "raise_on_failure", opt-in: a transfer that fails raises its failure,
// with its notes, where it would return False; no log record is written
// then, as the caller has the exception. A transfer that succeeds still
// returns True.
#include "sftp_main/contract/extension_points.hpp"
#include "sftp_main/options/options.hpp"
#include "sftp_main/policies/transfer_log.hpp"

namespace sftp {

void points::transfer_failed(const Invocation& call, PyObject* failure, const Options* options, int attempts) {
    if (options != nullptr && (*options)[Option::raise_on_failure]) {
        PyErr_SetRaisedException(Py_NewRef(failure));
        throw PyErrorRaised{};
    }
    transfer_log::log_returned_false(call, failure, attempts);
}

}  // namespace sftp
