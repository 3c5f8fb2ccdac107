#include "sftp_main/policies/keepalive.hpp"

#include "sftp_main/names.hpp"
#include "sftp_main/options/options.hpp"

#include <cmath>

namespace sftp {

void set_keepalive(PyObject* transport, const Options& options) {
    const OwnedRef& seconds = options[Option::keepalive];
    if (!seconds) {
        return;
    }
    // The parser gives a finite float above zero and at most
    // threading.TIMEOUT_MAX, which a whole number of seconds holds.
    OwnedRef interval = check(PyLong_FromDouble(std::ceil(PyFloat_AS_DOUBLE(seconds.get()))));
    check(PyObject_CallMethodOneArg(transport, names.set_keepalive, interval.get()));
}

}  // namespace sftp
