// The configuration Exception's English note, for readers of logs who read
// no Chinese: "Configuration rejected: missing required values: host."
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp::notes {

// `missing`: the names of missing values; `rejected`: [name, allowed] pairs,
// with `rejected_values` and `allowed_texts` in the same order. Raises on
// failure.
OwnedRef english_summary(PyObject* missing, PyObject* rejected, PyObject* rejected_values, PyObject* allowed_texts);

}  // namespace sftp::notes
