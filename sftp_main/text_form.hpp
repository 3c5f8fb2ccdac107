#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

// What format(value, "") gives: a text unchanged, an integer as its digits.
inline OwnedRef text_form(PyObject* value) {
    OwnedRef empty_spec = check(PyUnicode_FromString(""));
    return check(PyObject_Format(value, empty_spec.get()));
}

}  // namespace sftp
