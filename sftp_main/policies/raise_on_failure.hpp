// "raise_on_failure", opt-in: a transfer that fails raises its failure,
// with its notes, where it would return False; no log record is written
// then, as the caller has the exception. A transfer that succeeds still
// returns True.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

struct Options;

// With a true "raise_on_failure" among `options` (may be null), raises
// `failure` again; returns otherwise.
void raise_when_asked(const Options* options, PyObject* failure);

}  // namespace sftp
