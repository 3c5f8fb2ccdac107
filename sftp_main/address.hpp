// The one formatter of a server's address.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

enum class Brackets {
    Never,       // "host:port", as paramiko.Transport takes it
    ForIPv6,     // "[host]:port" when the host holds a colon
    Always,      // "[host]:port", as known_hosts lists another port than 22
};

// `host` is a text; `port` a text or an integer, shown by str().
inline OwnedRef address_text(PyObject* host, PyObject* port, Brackets brackets) {
    const bool bracketed = brackets == Brackets::Always ||
                           (brackets == Brackets::ForIPv6 && PyUnicode_FindChar(host, ':', 0, PY_SSIZE_T_MAX, 1) >= 0);
    return check(PyUnicode_FromFormat(bracketed ? "[%U]:%S" : "%U:%S", host, port));
}

}  // namespace sftp
