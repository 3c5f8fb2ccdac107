#include "sftp_main/policies/raise_on_failure.hpp"

#include "sftp_main/options/options.hpp"

namespace sftp {

void raise_when_asked(const Options* options, PyObject* failure) {
    if (options == nullptr || !(*options)[Option::raise_on_failure]) {
        return;
    }
    PyErr_SetRaisedException(Py_NewRef(failure));
    throw PyErrorRaised{};
}

}  // namespace sftp
